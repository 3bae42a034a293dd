"""CurveZMQ keys from key files or as given."""

import os

import zmq

KEY_LENGTH = 40  # a Z85 key


def read_key(key):
    """A Z85 key as bytes: ``key`` itself when it is a 40-character key, else the first
    line of the file ``key`` that is neither empty nor a '#' comment."""
    if isinstance(key, bytes):
        key = key.decode("ascii")
    key = os.fspath(key)
    if len(key) == KEY_LENGTH and not os.path.exists(key):
        return key.encode("ascii")
    with open(key, encoding="ascii") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                if len(line) != KEY_LENGTH:
                    raise ValueError(f"{key}: a key is {KEY_LENGTH} Z85 characters")
                return line.encode("ascii")
    raise ValueError(f"{key}: no key in the file")


def apply_curve(socket, server_key, client_key):
    """Makes ``socket`` a CurveZMQ client of the server whose public key is
    ``server_key``, with the secret key ``client_key`` (a fresh pair when None)."""
    if server_key is None:
        if client_key is not None:
            raise ValueError("a client key needs the server's public key")
        return
    if not zmq.has("curve"):
        raise RuntimeError("this ZeroMQ has no CurveZMQ")
    if client_key is None:
        public, secret = zmq.curve_keypair()
    else:
        secret = read_key(client_key)
        public = zmq.curve_public(secret)
    socket.curve_serverkey = read_key(server_key)
    socket.curve_secretkey = secret
    socket.curve_publickey = public
