"""Key files of CurveZMQ: the first line that is neither empty nor a comment."""

import pytest
import zmq

from ktclient.keys import read_key


def test_key_is_read_from_its_file_or_taken_as_given(tmp_path):
    public, secret = zmq.curve_keypair()
    path = tmp_path / "client.key_secret"
    path.write_text("# a secret key\n\n   \n" + secret.decode() + "\n# trailing note\n")
    assert read_key(path) == secret
    assert read_key(str(path)) == secret
    assert zmq.curve_public(read_key(path)) == public
    assert read_key(public) == public and read_key(public.decode()) == public


def test_files_without_a_key_are_refused(tmp_path):
    short = tmp_path / "short"
    short.write_text("# comment\nabc\n")
    empty = tmp_path / "empty"
    empty.write_text("# only a comment\n\n")
    for path in (short, empty):
        with pytest.raises(ValueError):
            read_key(path)


def test_subscriber_through_kt_relay_that_requires_keys(instrument, tmp_path):
    """kt-relay on another address of the loopback lets in the listed key only."""
    import subprocess

    import ktclient
    from instrument import program

    for name in ("relay", "pc", "stranger"):
        subprocess.run([program("KT_RELAY"), "--keygen", str(tmp_path / name)], check=True,
                       capture_output=True)
    inst = instrument("--sources", "1:1", "--payload", "64", "--rate", "200")
    relay = subprocess.Popen(
        [program("KT_RELAY"), "--bind", "127.0.0.2", "--server-key", str(tmp_path / "relay.key"),
         "--client-keys", str(tmp_path / "pc.pub")], stdout=subprocess.PIPE, text=True)
    try:
        assert relay.stdout.readline().startswith("kt-relay: frames of")
        keys = {"server_key": tmp_path / "relay.pub"}
        with ktclient.Subscriber("1:1", ack=False, host="127.0.0.2", client_key=tmp_path / "pc.key",
                                 **keys) as listed, \
                ktclient.Subscriber("1:1", ack=False, host="127.0.0.2",
                                    client_key=tmp_path / "stranger.key", **keys) as stranger, \
                ktclient.Subscriber("1:1", ack=False, host="127.0.0.2") as keyless:
            inst.start_daqd()
            frames = [listed.receive(10) for _ in range(50)]
            assert all(f is not None and f.source == (1, 1) for f in frames)
            # The others ran as long, and get nothing.
            assert stranger.receive(0.5) is None and keyless.receive(0.5) is None
    finally:
        relay.terminate()
        relay.wait(10)
