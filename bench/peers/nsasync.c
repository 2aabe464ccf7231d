/* nsasync.c - net-snmp's library, asynchronous, one shared session: all N GETs of 6 objects of a
 * cycle in flight at once (snmp_sess_async_send, then select/snmp_read/snmp_timeout), values
 * converted to numbers in the callback. With "v3" the session is SNMPv3 authPriv, user benchv3,
 * SHA and AES-128 (the user of bench/peers/snmpd.conf).
 * usage: nsasync cycles n host:port warmup v2c|v3 */
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "bench_peer.h"

static oid oids[6][9] = {{1, 3, 6, 1, 2, 1, 1, 1, 0}, {1, 3, 6, 1, 2, 1, 1, 3, 0},
                         {1, 3, 6, 1, 2, 1, 1, 4, 0}, {1, 3, 6, 1, 2, 1, 1, 5, 0},
                         {1, 3, 6, 1, 2, 1, 1, 6, 0}, {1, 3, 6, 1, 2, 1, 1, 7, 0}};
static long outstanding, answered;
static int64_t checksum;

static int64_t to_num(const netsnmp_variable_list* vp) {
  switch (vp->type) {
    case ASN_INTEGER:
      return *vp->val.integer;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      return (uint32_t)*vp->val.integer;
    case ASN_OCTET_STR: { /* numeric text -> number, else 0 */
      char b[32];
      size_t l = vp->val_len < sizeof b - 1 ? vp->val_len : sizeof b - 1;
      memcpy(b, vp->val.string, l);
      b[l] = 0;
      return strtoll(b, NULL, 10);
    }
    default:
      return 0;
  }
}

static int cb(int op, netsnmp_session* sp, int reqid, netsnmp_pdu* pdu, void* magic) {
  (void)sp;
  (void)reqid;
  (void)magic;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu->errstat == SNMP_ERR_NOERROR) {
    for (netsnmp_variable_list* vp = pdu->variables; vp; vp = vp->next_variable)
      checksum += to_num(vp);
    answered++;
  }
  outstanding--;
  return 1;
}

static void* open_session(const char* peer, int v3) {
  netsnmp_session s;
  snmp_sess_init(&s);
  s.peername = (char*)peer;
  s.timeout = 2000000;
  s.retries = 1;
  if (v3) {
    static const char* pass = "benchpass123";
    s.version = SNMP_VERSION_3;
    s.securityName = "benchv3";
    s.securityNameLen = 7;
    s.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    s.securityAuthProto = usmHMACSHA1AuthProtocol;
    s.securityAuthProtoLen = USM_AUTH_PROTO_SHA_LEN;
    s.securityAuthKeyLen = USM_AUTH_KU_LEN;
    s.securityPrivProto = usmAESPrivProtocol;
    s.securityPrivProtoLen = USM_PRIV_PROTO_AES_LEN;
    s.securityPrivKeyLen = USM_PRIV_KU_LEN;
    if (generate_Ku(s.securityAuthProto, s.securityAuthProtoLen, (u_char*)pass, strlen(pass),
                    s.securityAuthKey, &s.securityAuthKeyLen) != SNMPERR_SUCCESS ||
        generate_Ku(s.securityAuthProto, s.securityAuthProtoLen, (u_char*)pass, strlen(pass),
                    s.securityPrivKey, &s.securityPrivKeyLen) != SNMPERR_SUCCESS)
      return NULL;
  } else {
    s.version = SNMP_VERSION_2c;
    s.community = (u_char*)"public";
    s.community_len = 6;
  }
  return snmp_sess_open(&s);
}

static void one_cycle(void* sess, int n) {
  double deadline = now_s() + 10.0; /* bounded */
  outstanding = 0;
  for (int i = 0; i < n; i++) {
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    for (int k = 0; k < 6; k++) snmp_add_null_var(pdu, oids[k], 9);
    if (snmp_sess_async_send(sess, pdu, cb, NULL))
      outstanding++;
    else
      snmp_free_pdu(pdu);
  }
  while (outstanding > 0 && now_s() < deadline) {
    int fds = 0, block = 1;
    fd_set fdset;
    struct timeval tv = {1, 0};
    FD_ZERO(&fdset);
    snmp_sess_select_info(sess, &fds, &fdset, &tv, &block);
    int r = select(fds, &fdset, NULL, NULL, block ? NULL : &tv);
    if (r > 0)
      snmp_sess_read(sess, &fdset);
    else if (r == 0)
      snmp_sess_timeout(sess);
  }
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: nsasync cycles n host:port warmup v2c|v3\n");
    return 2;
  }
  int cycles = atoi(argv[1]), n = atoi(argv[2]), warm = atoi(argv[4]);
  setenv("MIBS", "", 1); /* load no MIB files */
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  init_snmp("nsasync");
  void* sess = open_session(argv[3], strcmp(argv[5], "v3") == 0);
  if (!sess) {
    snmp_perror("snmp_sess_open");
    return 1;
  }
  for (int c = 1 - warm; c <= cycles; c++) {
    if (c == 1) handshake("READY");
    double t0 = now_s();
    long before = answered;
    one_cycle(sess, n);
    cycle_line(c, now_s() - t0, answered - before);
  }
  fprintf(stderr, "nsasync: checksum %lld\n", (long long)checksum);
  handshake("DONE");
  snmp_sess_close(sess);
  snmp_shutdown("nsasync");
  return 0;
}
