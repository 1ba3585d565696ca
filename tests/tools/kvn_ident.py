#!/usr/bin/env python3
"""An identity backend and its client, for the balancer's labs.

serve: one process per backend host. It answers with its own name on
  - HTTP ports (the standard library's HTTP server, files from --dir),
  - TCP ports: every line received is answered with one identity line,
    the connection stays open until the peer closes it,
  - UDP ports: every datagram is answered with one identity line from
    the port it came to, or, when the datagram reads "via <port>,...",
    from each of those ports of this backend in turn (replies from ports
    the client did not talk to).
An identity line is "<name> <peer address> <peer port> <local address>
<local port>", the addresses as this host saw them: the peer is who the
connection or datagram came from, local is the address and port it was
sent to. Every request is also logged, one line each, to --log:
  http <local> <lport> <peer> <pport> <method> <path>
  tcp <local> <lport> <peer> <pport> <text>
  udp <local> <lport> <peer> <pport> <text or Call-ID header>
  udp-sent <from port> <peer> <pport>
Every socket is bound to the wildcard addresses of both families, so
a backend also answers on an address it holds on lo.

ask tcp <address> <port> <text> [--sport N] [--reset]: connects, sends the
  text as one line, prints the answer line and closes; with --reset the
  close is a TCP RST instead of a FIN.
ask udp <address> <port> <text> [--sport N] [--wait S]: sends one datagram
  from an unconnected socket and prints each answer as "<answer> from
  <address>:<port>" (so an answer from another port than the one asked is
  seen too); returns at the first answer, or after the wait with nothing
  printed and exit code 1. --wait 0 sends without waiting.
"""
import argparse
import http.server
import os
import socket
import socketserver
import struct
import sys
import threading

IP_PKTINFO = 8  # Linux; the socket module of older Pythons lacks the name
log_lock = threading.Lock()
log_file = None


def log(line):
    with log_lock:
        log_file.write(line + "\n")
        log_file.flush()


def plain(addr):
    """An address as text without the IPv4-mapped prefix."""
    return addr[7:] if addr.startswith("::ffff:") else addr


def family_of(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


class DualStack:
    """Listening sockets of the server classes on both families."""
    allow_reuse_address = True
    daemon_threads = True


class HttpServer4(DualStack, http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET


class HttpServer6(DualStack, http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()


class TcpServer4(DualStack, socketserver.ThreadingTCPServer):
    address_family = socket.AF_INET


class TcpServer6(DualStack, socketserver.ThreadingTCPServer):
    address_family = socket.AF_INET6

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()


def endpoints(sock, peer):
    local = sock.getsockname()
    return plain(local[0]), local[1], plain(peer[0]), peer[1]


def http_handler(name, directory):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=directory, **kwargs)

        def log_request(self, code="-", size="-"):
            la, lp, pa, pp = endpoints(self.connection, self.client_address)
            log(f"http {la} {lp} {pa} {pp} {self.command} {self.path}")

        def log_message(self, fmt, *args):
            pass  # errors show in the client's answer; requests are logged above

    return Handler


def tcp_handler(name):
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            la, lp, pa, pp = endpoints(self.connection, self.client_address)
            for raw in self.rfile:
                text = raw.decode(errors="replace").strip()
                log(f"tcp {la} {lp} {pa} {pp} {text}")
                self.wfile.write(f"{name} {pa} {pp} {la} {lp}\n".encode())
                self.wfile.flush()

    return Handler


def udp_socket(family, port):
    # No SO_REUSEADDR: on UDP it would let a second backend share the port.
    s = socket.socket(family, socket.SOCK_DGRAM)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVPKTINFO, 1)
        s.bind(("::", port))
    else:
        s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        s.bind(("0.0.0.0", port))
    return s


def destination_of(family, ancillary):
    """The destination address of a datagram from its packet information."""
    for level, kind, data in ancillary:
        if family == socket.AF_INET and level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            return socket.inet_ntop(socket.AF_INET, data[8:12])
        if family == socket.AF_INET6 and level == socket.IPPROTO_IPV6 and kind == socket.IPV6_PKTINFO:
            return plain(socket.inet_ntop(socket.AF_INET6, data[0:16]))
    return "?"


def call_id(text):
    for line in text.splitlines():
        if line.startswith("Call-ID:"):
            return line.strip()
    return None


def udp_loop(name, family, port, sockets):
    s = sockets[(family, port)]
    while True:
        data, anc, _, peer = s.recvmsg(65535, socket.CMSG_SPACE(32))
        text = data.decode(errors="replace")
        la, pa, pp = destination_of(family, anc), plain(peer[0]), peer[1]
        cid = call_id(text)
        log(f"udp {la} {port} {pa} {pp} {cid if cid else text.strip()}")
        outs = [s]
        if text.startswith("via "):
            outs = [sockets.get((family, via), s) for via in ports(text.split()[1])]
        for out in outs:
            out.sendto(f"{name} {pa} {pp} {la} {port}\n".encode(), peer)
            log(f"udp-sent {out.getsockname()[1]} {pa} {pp}")


def ports(text):
    return [int(p) for p in text.split(",") if p] if text else []


def serve(args):
    global log_file
    log_file = open(args.log, "a", buffering=1)
    threads = []
    for port in ports(args.http):
        for cls in (HttpServer4, HttpServer6):
            srv = cls(("", port), http_handler(args.name, args.dir))
            threads.append(threading.Thread(target=srv.serve_forever, daemon=True))
    for port in ports(args.tcp):
        for cls in (TcpServer4, TcpServer6):
            srv = cls(("", port), tcp_handler(args.name))
            threads.append(threading.Thread(target=srv.serve_forever, daemon=True))
    sockets = {}
    for port in ports(args.udp):
        for family in (socket.AF_INET, socket.AF_INET6):
            sockets[(family, port)] = udp_socket(family, port)
    for family, port in sockets:
        threads.append(threading.Thread(target=udp_loop, args=(args.name, family, port, sockets), daemon=True))
    for t in threads:
        t.start()
    log(f"ready {args.name}")
    threading.Event().wait()


def ask_tcp(args, s):
    s.settimeout(args.wait)
    s.connect((args.host, args.port))
    s.sendall((args.text + "\n").encode())
    answer = s.makefile("rb").readline().decode(errors="replace").strip()
    if not answer:
        return 1
    print(answer)
    if args.reset:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    return 0


def ask(args):
    family = family_of(args.host)
    s = socket.socket(family, socket.SOCK_STREAM if args.proto == "tcp" else socket.SOCK_DGRAM)
    if args.sport:
        s.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", args.sport))
    if args.proto == "tcp":
        return ask_tcp(args, s)
    s.sendto(args.text.encode(), (args.host, args.port))
    if args.wait == 0:
        return 0
    s.settimeout(args.wait)
    try:
        data, peer = s.recvfrom(65535)
    except socket.timeout:
        return 1
    host = f"[{peer[0]}]" if family == socket.AF_INET6 else peer[0]
    print(f"{data.decode(errors='replace').strip()} from {host}:{peer[1]}")
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="mode", required=True)
    sp = sub.add_parser("serve")
    sp.add_argument("--name", required=True)
    sp.add_argument("--log", required=True)
    sp.add_argument("--dir", default=os.getcwd())
    sp.add_argument("--http", default="", help="HTTP ports, comma separated")
    sp.add_argument("--tcp", default="", help="TCP identity ports")
    sp.add_argument("--udp", default="", help="UDP identity ports")
    ap = sub.add_parser("ask")
    ap.add_argument("proto", choices=["tcp", "udp"])
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("text")
    ap.add_argument("--sport", type=int, default=0)
    ap.add_argument("--wait", type=float, default=2.0)
    ap.add_argument("--reset", action="store_true")
    args = p.parse_args()
    if args.mode == "serve":
        serve(args)
        return 0
    return ask(args)


if __name__ == "__main__":
    sys.exit(main())
