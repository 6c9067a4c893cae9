"""The witness exchange (which values make a sum) against a scripted peer: the same submit and
poll as a solve, to its own path, and an answer checked before any index is handed out."""
import ctypes
import gzip
import struct

import pytest

from scripted_peer import POLL_PATH, Reply, json_reply, route


@pytest.fixture(scope="module")
def online_subset(lib):
    lib.zo_config_from_env.restype = ctypes.c_void_p
    lib.zo_config_free.argtypes = [ctypes.c_void_p]
    f = lib.zo_online_subset
    f.restype = ctypes.c_int
    f.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64), ctypes.c_size_t,
                  ctypes.c_uint64, ctypes.POINTER(ctypes.c_size_t),
                  ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(ctypes.c_int), ctypes.c_char_p,
                  ctypes.c_void_p]

    def call(values, target):
        config = lib.zo_config_from_env()
        assert config, "no config"
        arr = (ctypes.c_uint64 * max(len(values), 1))(*values)
        indices = (ctypes.c_size_t * max(len(values), 1))(*([7777] * max(len(values), 1)))
        k, found, err = ctypes.c_size_t(9999), ctypes.c_int(-5), ctypes.create_string_buffer(128)
        try:
            status = f(config, arr, len(values), target, indices, ctypes.byref(k),
                       ctypes.byref(found), err, None)
        finally:
            lib.zo_config_free(config)
        if status != 0:
            assert (k.value, found.value) == (9999, -5), "outputs written on failure"
            return err.value.decode()
        return found.value, list(indices[: k.value])

    return call


def witness(*words):
    return Reply(200, gzip.compress(struct.pack(f"<{len(words)}Q", *words)))


VALUES, TARGET = [3, 5, 9, 4], 13

CASES = {
    "found": (witness(1, 2, 2, 3), (1, [2, 3])),
    "none": (witness(0, 0), (0, [])),
    "found-with-no-indices": (witness(1, 0), "Witness payload does not add up to the target"),
    "wrong-sum": (witness(1, 2, 0, 1), "Witness payload does not add up to the target"),
    "index-out-of-range": (witness(1, 2, 2, 4), "Witness payload could not be decoded"),
    "not-ascending": (witness(1, 2, 3, 2), "Witness payload could not be decoded"),
    "repeated-index": (witness(1, 2, 3, 3), "Witness payload could not be decoded"),
    "count-past-values": (witness(1, 5, 0, 1, 2, 3, 3), "Witness payload could not be decoded"),
    "fewer-indices-than-count": (witness(1, 3, 2, 3), "Witness payload could not be decoded"),
    "word-after-none": (witness(0, 0, 1), "Witness payload could not be decoded"),
    "flag-not-0-or-1": (witness(2, 0), "Witness payload could not be decoded"),
    "not-whole-words": (Reply(200, gzip.compress(b"\x01" + b"\0" * 8)),
                        "Witness payload could not be decoded"),
    "not-gzip": (Reply(200, b"\x01\0\0\0"), "Witness payload could not be decoded"),
    "gone": (json_reply({"message": "the solve failed"}, 410), "the solve failed"),
}


@pytest.mark.parametrize("poll, outcome", CASES.values(), ids=CASES.keys())
def test_witness_answers_are_checked(serve, online_subset, poll, outcome):
    accepted = json_reply({"requestId": "w1"})
    peer = serve(route(submit=Reply(404), poll=poll, other=accepted))
    assert online_subset(VALUES, TARGET) == outcome
    submit, first_poll = peer.requests[:2]
    assert (submit.method, submit.path, submit.body) == (
        "POST", f"/v0/app/subset?target={TARGET}", b"[3,5,9,4]")
    assert first_poll.path == POLL_PATH + "?requestId=w1"


# A "none" for a target some values plainly make: 0, a value, the total, the total less a value.
PLAINLY_REACHABLE = {"zero": 0, "a-value": 9, "the-total": 21, "the-total-less-a-value": 17}


@pytest.mark.parametrize("target", PLAINLY_REACHABLE.values(), ids=PLAINLY_REACHABLE.keys())
def test_a_none_for_a_plainly_reachable_target_is_refused(serve, online_subset, target):
    serve(route(submit=Reply(404), poll=witness(0, 0), other=json_reply({"requestId": "w1"})))
    assert online_subset(VALUES, target) == "Witness payload denies a reachable target"
