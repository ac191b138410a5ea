#!/usr/bin/env python3
"""Plays the far ends of two demonstration bridges: two pseudo-terminals as the
serial devices, a bridges.db in the current directory that joins them to two
TCP ports, serial data flowing in, and a few TCP clients once the bridges
listen, to whose AT the devices answer OK. Runs until killed. With --com N,
the bridges use COMN and COMN+1, for the Windows program, and a line
"map COMn /dev/pts/k" tells which pseudo-terminal each is."""
import os, pty, socket, sqlite3, sys, time

args = sys.argv[1:]
first_com = None
if "--com" in args:
    at = args.index("--com")
    first_com = int(args[at + 1])
    del args[at:at + 2]
ports = [int(p) for p in args[0:2]] if len(args) > 1 else [4242, 4243]
devices = []
for index, _ in enumerate(ports):
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    if first_com is not None:
        print("map COM%d %s" % (first_com + index, name), flush=True)
        name = "COM%d" % (first_com + index)
    devices.append((master, slave, name))

db = sqlite3.connect("bridges.db")
db.executescript(
    "CREATE TABLE [bridges] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,[com_port] VARCHAR(8)  NULL,"
    "[com_baud] INTEGER  NULL,[tcp_port] INTEGER  NULL);"
    "CREATE TABLE [ipfilters] ([id] INTEGER  NOT NULL PRIMARY KEY AUTOINCREMENT,[bridge_id] INTEGER  NULL,"
    "[ip_address] VARCHAR(15)  NULL);")
for (master, slave, name), port in zip(devices, ports):
    db.execute("insert into bridges (com_port, com_baud, tcp_port) values (?, ?, ?)", (name, 115200, port))
db.execute("insert into ipfilters (bridge_id, ip_address) values (2, '127.0.0.1')")
db.commit()
db.close()
print("ready", flush=True)

clients = []
deadline = time.time() + 30
for port, count in zip(ports, (2, 1)):
    while len([c for c in clients if c[0] == port]) < count and time.time() < deadline:
        try:
            clients.append((port, socket.create_connection(("127.0.0.1", port))))
        except OSError:
            time.sleep(0.1)

line = 0
while True:
    for index, (master, slave, name) in enumerate(devices):
        os.write(master, b"$GPGGA,%06d,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n" % line)
    for port, client in clients:
        try:
            client.setblocking(False)
            client.recv(65536)
            client.send(b"AT\r\n")
        except OSError:
            pass
        for master, slave, name in devices:
            try:
                os.set_blocking(master, False)
                if b"AT" in os.read(master, 65536):
                    os.write(master, b"OK\r\n")
            except OSError:
                pass
    line += 1
    time.sleep(0.05)
