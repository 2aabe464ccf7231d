#!/usr/bin/python3
"""Read-only SNMP agent on pysnmp 4 for the SNMPv3 interoperability tests.

Serves pysnmp's SNMPv2-MIB system group on 127.0.0.1 with the community "public" and SNMPv3
users named "<auth>-<priv>" (see tests/support/snmp_peers.h), every one with the authentication
password "authpass123" and the privacy password "privpass123". Prints "READY host:port" once it
listens; SIGTERM ends it with exit code 0.
"""
import argparse
import signal

from pysnmp.carrier.asyncore.dgram import udp
from pysnmp.entity import config, engine
from pysnmp.entity.rfc3413 import cmdrsp, context
from pysnmp.proto import rfc1902

AUTH = {
    'md5': config.usmHMACMD5AuthProtocol,
    'sha': config.usmHMACSHAAuthProtocol,
    'sha224': config.usmHMAC128SHA224AuthProtocol,
    'sha256': config.usmHMAC192SHA256AuthProtocol,
    'sha384': config.usmHMAC256SHA384AuthProtocol,
    'sha512': config.usmHMAC384SHA512AuthProtocol,
}
PRIV = {
    'none': config.usmNoPrivProtocol,
    'des': config.usmDESPrivProtocol,
    '3des': config.usm3DESEDEPrivProtocol,
    'aes128': config.usmAesCfb128Protocol,
    'aes192b': config.usmAesBlumenthalCfb192Protocol,
    'aes256b': config.usmAesBlumenthalCfb256Protocol,
    'aes192r': config.usmAesCfb192Protocol,
    'aes256r': config.usmAesCfb256Protocol,
}


def add_user(snmp_engine, name, auth_pass, priv_pass):
    if name == 'noauth':
        config.addV3User(snmp_engine, name)
        level = 'noAuthNoPriv'
    else:
        auth, priv = name.split('-', 1)
        if priv == 'none':
            config.addV3User(snmp_engine, name, AUTH[auth], auth_pass)
            level = 'authNoPriv'
        else:
            config.addV3User(snmp_engine, name, AUTH[auth], auth_pass, PRIV[priv], priv_pass)
            level = 'authPriv'
    config.addVacmUser(snmp_engine, 3, name, level, (1, 3, 6, 1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--host', default='127.0.0.1')
    ap.add_argument('--port', type=int, required=True)
    ap.add_argument('--engine-id', default='80004fb8047079736e6d7070656572')
    ap.add_argument('--boots', type=int, default=1)
    ap.add_argument('--users', default='noauth')
    args = ap.parse_args()

    snmp_engine = engine.SnmpEngine(snmpEngineID=rfc1902.OctetString(hexValue=args.engine_id))
    mib = snmp_engine.getMibBuilder()
    boots, = mib.importSymbols('__SNMP-FRAMEWORK-MIB', 'snmpEngineBoots')
    boots.syntax = boots.syntax.clone(args.boots)
    descr, location = mib.importSymbols('__SNMPv2-MIB', 'sysDescr', 'sysLocation')
    descr.syntax = descr.syntax.clone('pysnmp test agent')
    location.syntax = location.syntax.clone('testlab')

    config.addTransport(snmp_engine, udp.domainName,
                        udp.UdpTransport().openServerMode((args.host, args.port)))
    config.addV1System(snmp_engine, 'ro-area', 'public')
    config.addVacmUser(snmp_engine, 2, 'ro-area', 'noAuthNoPriv', (1, 3, 6, 1))
    for name in filter(None, args.users.split(',')):
        add_user(snmp_engine, name, 'authpass123', 'privpass123')

    ctx = context.SnmpContext(snmp_engine)
    cmdrsp.GetCommandResponder(snmp_engine, ctx)  # read-only: no SET responder

    def stop(signum, frame):
        raise KeyboardInterrupt  # the dispatcher re-raises anything else as an error

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    snmp_engine.transportDispatcher.jobStarted(1)
    print('READY %s:%d' % (args.host, args.port), flush=True)
    try:
        snmp_engine.transportDispatcher.runDispatcher()
    except KeyboardInterrupt:
        pass
    finally:
        snmp_engine.transportDispatcher.closeDispatcher()


if __name__ == '__main__':
    main()
