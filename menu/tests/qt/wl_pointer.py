"""A pointer for a headless wlroots compositor, spoken over the Wayland socket.

A headless seat has no pointer, so a bar on it never receives a click.
This client binds zwlr_virtual_pointer_manager_v1 and drives a virtual
pointer of its own: the seat gains a pointer for as long as it is connected.
Only the few requests needed are written; events are read and dropped.
"""

import os
import socket
import struct
import time

BTN_LEFT, BTN_RIGHT = 0x110, 0x111


def _string(s):
    data = s.encode() + b"\0"
    return struct.pack("<I", len(data)) + data + b"\0" * (-len(data) % 4)


class VirtualPointer:
    def __init__(self, runtime_dir, display, width, height):
        self.width, self.height = width, height
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(os.path.join(runtime_dir, display))
        self.next_id = 2
        registry = self._new_id()
        self._send(1, 1, struct.pack("<I", registry))  # wl_display.get_registry
        manager_name = self._find_global(registry, "zwlr_virtual_pointer_manager_v1")
        if manager_name is None:
            raise RuntimeError("the compositor offers no zwlr_virtual_pointer_manager_v1")
        self.manager = self._new_id()
        self._send(registry, 0, struct.pack("<I", manager_name)
                   + _string("zwlr_virtual_pointer_manager_v1") + struct.pack("<II", 1, self.manager))
        self.pointer = self._new_id()
        # create_virtual_pointer(seat = null: the default seat, id)
        self._send(self.manager, 0, struct.pack("<II", 0, self.pointer))
        self._roundtrip()

    def _new_id(self):
        self.next_id += 1
        return self.next_id - 1

    def _send(self, obj, opcode, payload=b""):
        self.sock.sendall(struct.pack("<II", obj, ((8 + len(payload)) << 16) | opcode) + payload)

    def _events(self, until_done):
        """Reads events until wl_callback `until_done` fires; yields (obj, opcode, payload)."""
        buf = b""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the compositor closed the connection")
            buf += chunk
            while len(buf) >= 8:
                obj, word = struct.unpack("<II", buf[:8])
                size = word >> 16
                if len(buf) < size:
                    break
                payload, buf = buf[8:size], buf[size:]
                if obj == 1 and (word & 0xFFFF) == 0:  # wl_display.error
                    raise RuntimeError("Wayland protocol error: %r" % payload)
                yield obj, word & 0xFFFF, payload
                if obj == until_done:
                    return
        raise RuntimeError("the compositor did not answer")

    def _sync(self):
        callback = self._new_id()
        self._send(1, 0, struct.pack("<I", callback))  # wl_display.sync
        return callback

    def _roundtrip(self):
        for _ in self._events(self._sync()):
            pass

    def _find_global(self, registry, interface):
        found = None
        for obj, opcode, payload in self._events(self._sync()):
            if obj == registry and opcode == 0:  # wl_registry.global
                name, length = struct.unpack("<II", payload[:8])
                if payload[8:8 + length - 1].decode() == interface:
                    found = name
        return found

    @staticmethod
    def _now():
        return int(time.monotonic() * 1000) & 0xFFFFFFFF

    def move(self, x, y):
        self._send(self.pointer, 1, struct.pack("<IIIII", self._now(), x, y,
                                                self.width, self.height))
        self._send(self.pointer, 4)  # frame
        self._roundtrip()

    def click(self, x, y, button=BTN_LEFT):
        self.move(x, y)
        time.sleep(0.1)
        for state in (1, 0):
            self._send(self.pointer, 2, struct.pack("<III", self._now(), button, state))
            self._send(self.pointer, 4)
            self._roundtrip()
            time.sleep(0.05)

    def close(self):
        self.sock.close()
