#include "components/platform/udp_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/platform/values.h"

namespace quorlan {
namespace {

// A burst queued before the reader looks, read back in batches of several datagrams per call.
TEST(UdpSocketBatchTest, ABurstComesOutWholeInArrivalOrderAcrossBatches) {
  UdpSocket reader, peer;
  reader.Open("127.0.0.1", 0, 4 << 20);
  reader.SetReceiveBatch(8);
  peer.Open("127.0.0.1", 0);
  // Sizes around and beyond a page, an empty datagram and the largest IPv4 allows.
  const std::vector<size_t> sizes = {0, 1, 4095, 4096, 4097, 65507, 100, 9000,
                                     7, 3, 1500, 2,    8192, 0,     64,  5};
  std::vector<std::string> sent;
  for (const size_t size : sizes) {
    sent.push_back(std::string(size, static_cast<char>('a' + sent.size())));
    peer.SendTo("127.0.0.1", reader.LocalPort(), sent.back());
  }
  UdpSocket::Datagram dg;
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_TRUE(reader.Receive(&dg)) << "datagram " << i;
    EXPECT_EQ(dg.data, sent[i]) << "datagram " << i;
    EXPECT_FALSE(dg.truncated);
    EXPECT_EQ(dg.from_host, "127.0.0.1");
    EXPECT_EQ(dg.from_port, peer.LocalPort());
    // The batch of 8 holds what the system handed over and has not been read yet.
    EXPECT_EQ(reader.Taken(), static_cast<int>(7 - i % 8)) << "datagram " << i;
    // Full batches may leave more in the system; none is left after every datagram is handed.
    EXPECT_FALSE(reader.Drained()) << "datagram " << i;
  }
  EXPECT_FALSE(reader.Receive(&dg));  // nothing queued: would block
  EXPECT_TRUE(reader.Drained());
  peer.SendTo("127.0.0.1", reader.LocalPort(), "z");
  ASSERT_TRUE(reader.Receive(&dg));
  EXPECT_TRUE(reader.Drained()) << "a batch of 1 of 8 took all there was";
  EXPECT_EQ(reader.Taken(), 0);
}

// More datagrams than one call sends, one of them to an address the system refuses (broadcast
// without SO_BROADCAST): the others go out in order, and the refused one is named.
TEST(UdpSocketBatchTest, SendManyGoesOnPastARefusedDatagram) {
  UdpSocket reader, sender;
  reader.Open("127.0.0.1", 0, 4 << 20);
  sender.Open("127.0.0.1", 0);
  std::vector<std::string> data;
  std::vector<UdpSocket::Outgoing> out;
  for (int i = 0; i < 70; ++i) data.push_back("datagram " + std::to_string(i));
  for (int i = 0; i < 70; ++i) {
    const bool refused = i == 3;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(reader.LocalPort()));
    to.sin_addr = ResolveIpv4(refused ? "255.255.255.255" : "127.0.0.1");
    out.push_back({to, data[static_cast<size_t>(i)]});
  }
  const std::vector<UdpSocket::Refused> refused = sender.SendMany(out);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].index, 3u);
  EXPECT_EQ(refused[0].error.rfind("sendto udp 255.255.255.255:", 0), 0u) << refused[0].error;
  UdpSocket::Datagram dg;
  for (int i = 0; i < 70; ++i) {
    if (i == 3) continue;
    ASSERT_TRUE(reader.Receive(&dg)) << "datagram " << i;
    EXPECT_EQ(dg.data, data[static_cast<size_t>(i)]);
  }
  EXPECT_FALSE(reader.Receive(&dg));
}

TEST(UdpSocketBatchTest, ClosingDropsWhatTheBatchTookAndRefusesABadSize) {
  UdpSocket reader, peer;
  reader.Open("127.0.0.1", 0);
  reader.SetReceiveBatch(4);
  peer.Open("127.0.0.1", 0);
  for (int i = 0; i < 3; ++i) peer.SendTo("127.0.0.1", reader.LocalPort(), "x");
  UdpSocket::Datagram dg;
  ASSERT_TRUE(reader.Receive(&dg));
  EXPECT_EQ(reader.Taken(), 2);
  const int port = reader.LocalPort();
  reader.Close();
  EXPECT_EQ(reader.Taken(), 0);
  reader.Open("127.0.0.1", port);
  EXPECT_FALSE(reader.Receive(&dg));
  EXPECT_THROW(reader.SetReceiveBatch(0), RuntimeError);
  EXPECT_THROW(reader.SetReceiveBatch(65), RuntimeError);
}

}  // namespace
}  // namespace quorlan
