#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (corpus/<harness>/): a few
well-formed exchanges each, so fuzzing starts past the handshakes. Run from
anywhere; the files it writes are checked in."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RELIABLE, BROADCAST = 0x80, 0x40


def header(length, dtype, flags):
    return struct.pack("<IBBH", length, dtype, flags, 0)


def basic(subtype, body=b"", text=None):
    rest = bytes([subtype]) + body + (text.encode() + b"\0" if text is not None else b"")
    return header(8 + len(rest), 2, RELIABLE) + rest


def net_id(text="Tessarc", major=2, minor=1):
    return basic(0, struct.pack("<BHH", 1, major, minor), text)


def verdict(v):
    return basic(1, bytes([v]))


def node_name(name):
    return basic(2, b"\0\0\0", name)


def uuid(seed):
    return bytes((seed + i) & 0xFF for i in range(12))


def uuid_dataset(seed, name):
    return basic(3, b"\0\0\0" + uuid(seed), name)


def neighbours(subtype, entries):
    body = struct.pack("<BH", 0, len(entries))
    for seed, age in entries:
        body += uuid(seed) + struct.pack("<I", age)
    return basic(subtype, body)


def relay_client(subtype, payload, dtype=16):
    return header(12 + len(payload), dtype, RELIABLE) + struct.pack("<I", subtype) + payload


def relay_broadcast(origin, sequence, payload, ttl=8, hops=1, dtype=16):
    length = 40 + 4 + len(payload)
    return (header(length, dtype, RELIABLE | BROADCAST) + struct.pack("<IHHII", 3, ttl, hops, 4, 40) +
            uuid(origin) + struct.pack("<I", sequence) + b"\0\0\0\0" + payload)


def hello(seed):
    return b"TQT1" + uuid(seed)


# ---- The receive path: steps of receive_fuzz.cpp ----

def open_client():
    return b"\x03"


def open_server():
    return b"\x0b"


def send(slot, data, split=255):
    """Data steps for `slot`, cut into pieces of at most `split` bytes."""
    out = b""
    for i in range(0, len(data), split):
        piece = data[i:i + split]
        out += bytes([slot << 3, len(piece)]) + piece
    return out


def close(slot):
    return bytes([(slot << 3) | 4])


def clock(tenths):
    out = b""
    while tenths > 0:
        out += bytes([5, min(tenths, 255)])
        tenths -= 255
    return out


def client_shake(name):
    return net_id() + verdict(1) + node_name(name)


def server_shake(seed, name):
    return hello(seed) + net_id() + verdict(1) + uuid_dataset(seed, name)


def receive_seeds():
    two_clients = (open_client() + open_client() + send(0, client_shake("alice")) + send(1, client_shake("bob")) +
                   send(0, relay_client(1, b"hello") + relay_client(2, b"")) + send(1, relay_client(3, b"x" * 40, 7)) +
                   close(0))
    broadcasts = (open_server() + send(0, server_shake(0x20, "peer-a")) +
                  send(0, neighbours(4, [(0x40, 0), (0x50, 3)]) + neighbours(5, [(0x40, 0)])) +
                  send(0, relay_broadcast(0x60, 1, b"one") + relay_broadcast(0x60, 1, b"one") +
                       relay_broadcast(0x60, 2, b"two", ttl=1)) +
                  clock(110) + send(0, relay_broadcast(0x60, 1, b"one again")))
    mesh = (open_server() + open_server() + open_client() + send(0, server_shake(0x20, "peer-a")) +
            send(1, server_shake(0x30, "peer-b")) + send(2, client_shake("carol")) +
            send(2, relay_client(9, b"from carol")) + send(1, relay_broadcast(0x30, 7, b"via b"), split=7) +
            send(0, relay_broadcast(0x30, 7, b"via b")) + close(1) + send(0, relay_broadcast(0x30, 8, b"later")))
    same_peer = (open_server() + open_server() + send(0, server_shake(0x20, "peer-a")) +
                 send(1, hello(0x20) + net_id()) + close(0) + send(1, verdict(1)))
    framing = (open_client() + send(0, client_shake("dave"), split=3) + send(0, header(4, 16, 0)) + open_server() +
               send(1, b"TQT0" + uuid(1)) + open_server() + send(2, hello(0x70) + struct.pack("<I", 2 << 20)) +
               open_client() + send(3, b"\x02" + net_id()) + open_client() + send(4, net_id("Other") + verdict(0)) +
               open_client() + send(5, net_id(major=2, minor=0)))
    return {"two_clients": two_clients, "broadcasts": broadcasts, "mesh": mesh, "same_peer": same_peer,
            "framing": framing}


# ---- The client library: what a server sends it ----

def client_seeds():
    groups = header(12, 4, RELIABLE) + b"\0\0\0\0"
    shake = net_id() + verdict(1) + groups
    return {
        "accepted": b"\0" + shake + relay_client(1, b"hello") + neighbours(4, [(1, 0)]) + relay_client(2, b""),
        "network": b"\x01" + net_id("Other") + verdict(1) + groups,
        "old_version": b"\x02" + net_id(minor=0) + verdict(1) + groups,
        "rejected": b"\0" + net_id() + verdict(0),
        "late_reject": b"\0" + shake + relay_client(5, b"x") + verdict(0),
        "short": b"\0" + shake + header(8, 16, 0) + header(10, 17, 0) + b"ab" + struct.pack("<I", 7),
        "early_data": b"\0" + net_id() + verdict(1) + relay_client(3, b"before groups") + groups,
    }


# ---- Settings files ----

def config_seeds():
    return {
        "communication": b"""serverName = "node-1";
networkId = "Tessarc";
protocols = (
  { name = "tcp"; listen = [ "127.0.0.1:7400" ]; clientListen = "127.0.0.1:7401";
    peers = ( "127.0.0.1:7410", "127.0.0.1:7420" ); connectTimeout = 5000; reconnectMin = 500;
    reconnectMax = 100; closeTimeout = 2000; sendTimeout = 30000; sendQueueBytes = 8388608L; },
  { name = "tcp"; peers = [ 1 ]; },
  { name = "other"; },
  { listen = "x"; }
);
""",
        "relay": b"datasetType = 16;\nttl = 8;\nlogRepeats = true;\n",
        "relay_range": b"datasetType = 4;\nttl = 70000;\n",
        "types": b'serverName = 5;\nnetworkId = [ "a" ];\nprotocols = { name = "tcp"; sendQueueBytes = -1; };\n'
                 b'datasetType = "16";\n',
        "nested": b'protocols = ( { name = "tcp"; connectTimeout = 0; listen = ( ( "a" ) ); } );\n',
    }


def main():
    for harness, seeds in (("receive", receive_seeds()), ("client", client_seeds()), ("config", config_seeds())):
        directory = os.path.join(HERE, "corpus", harness)
        os.makedirs(directory, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
