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
