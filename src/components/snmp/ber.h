// Basic Encoding Rules, the subset SNMP uses (X.690 definite lengths, single-octet tags).
//
// Writer builds an encoding front to back; a constructed element is opened with Begin and closed
// with End, which inserts its length. Reader walks an encoding without ever trusting a length:
// every length is checked against the bytes that remain before anything is read, and every
// failure throws DecodeError with a code and a text that names the field ("OID length 200
// exceeds 12 remaining bytes"). Readers are views: the data they walk must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace quorlan::ber {

// Universal and SNMP application tags.
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kObjectId = 0x06;
inline constexpr uint8_t kSequence = 0x30;

// Error codes of a rejected encoding (the BadPacket error code of the SNMP components).
namespace code {
inline constexpr int kTruncated = 1;          // a length runs past the end of the data
inline constexpr int kBadLength = 2;          // indefinite or over-long length form
inline constexpr int kBadTag = 3;             // another tag than the one the field needs
inline constexpr int kBadValue = 4;           // contents that do not form a valid value
inline constexpr int kBadVersion = 5;         // an SNMP version this decoder does not handle
inline constexpr int kBadPduType = 6;         // an unknown or unexpected PDU type
inline constexpr int kTrailingData = 7;       // bytes after the end of an element
inline constexpr int kDatagramTruncated = 8;  // the datagram was cut by the receive buffer
// SNMPv3 messages that decode but are refused by the message processing or the security model.
inline constexpr int kAuthFailure = 9;      // digest mismatch, or a level below the request's
inline constexpr int kDecryptFailure = 10;  // the encryptedPDU does not decrypt to a scopedPDU
inline constexpr int kNotAnAnswer = 11;     // answers no request of ours (unknown msgID, user...)
}  // namespace code

class DecodeError : public std::exception {
 public:
  DecodeError(int code, std::string text) : code_(code), text_(std::move(text)) {}
  int code() const { return code_; }
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }
  // The same error with "prefix: " in front of its text, for the enclosing element.
  DecodeError Within(const std::string& prefix) const { return {code_, prefix + ": " + text_}; }

 private:
  int code_;
  std::string text_;
};

using Oid = std::vector<uint32_t>;

class Writer {
 public:
  // Opens a constructed element; returns the mark End needs.
  size_t Begin(uint8_t tag);
  // Closes the element opened at mark, inserting its length.
  void End(size_t mark);

  void WriteSigned(uint8_t tag, int64_t value);
  void WriteUnsigned(uint8_t tag, uint64_t value);
  void WriteBytes(uint8_t tag, std::string_view bytes);
  void WriteNull(uint8_t tag = kNull);
  // REQUIRES: at least two arcs, the first 0..2, the second below 40 unless the first is 2
  // (ParseOid guarantees this).
  void WriteOid(const Oid& oid);
  // Appends an element that is already encoded (an SNMPv3 scopedPDU), as it is.
  void WriteEncoded(std::string_view element) { out_.append(element); }

  const std::string& data() const { return out_; }
  std::string Take() { return std::move(out_); }

 private:
  void WriteHeader(uint8_t tag, size_t length);
  std::string out_;
};

// One element as read: its tag and its contents.
struct Element {
  uint8_t tag = 0;
  std::string_view contents;
};

class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  bool AtEnd() const { return pos_ == data_.size(); }
  size_t Remaining() const { return data_.size() - pos_; }
  // REQUIRES: !AtEnd().
  uint8_t PeekTag() const { return static_cast<uint8_t>(data_[pos_]); }

  // Reads the next element, whatever its tag. field names it in errors.
  Element Read(const char* field);
  // Reads the next element and checks its tag.
  Element Expect(uint8_t tag, const char* field);
  // Reads a constructed element of the given tag and returns a reader over its contents.
  Reader Enter(uint8_t tag, const char* field) { return Reader(Expect(tag, field).contents); }

  // Typed reads of the next element (tag checked).
  int32_t ReadInt32(const char* field);
  std::string_view ReadOctetString(const char* field) {
    return Expect(kOctetString, field).contents;
  }
  Oid ReadOid(const char* field);

  // Throws kTrailingData unless the reader is at its end.
  void ExpectEnd(const char* what) const;

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Contents decoders, for callers that have read an element with Read().
int64_t DecodeSigned(std::string_view contents, int max_bytes, const char* field);
// An unsigned value of the given width in bits (32 or 64). A negative two's-complement encoding,
// which some agents send for counters, is taken modulo 2^bits as net-snmp does.
uint64_t DecodeUnsigned(std::string_view contents, int bits, const char* field);
Oid DecodeOid(std::string_view contents, const char* field);

// OID text: dotted decimal arcs, an optional leading dot ("1.3.6.1.2.1.1.3.0",
// ".1.3.6.1"). At least two arcs, each 0..4294967295, the first 0..2, the second below 40 unless
// the first is 2. Returns false for any other text.
bool ParseOid(std::string_view text, Oid* out);
// Dotted decimal without a leading dot.
std::string FormatOid(const Oid& oid);

// Hex dump "30 53 02 01 ..." for messages and traces.
std::string HexDump(std::string_view bytes);

}  // namespace quorlan::ber
