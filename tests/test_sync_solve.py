"""complete_subset_sum and the front door: results and the kill switch. What every form refuses
is in test_forms."""
import ctypes
import random

import pytest

import zox
from reference import sums_of, words_of_sums
from scripted_peer import closed_port

U64 = ctypes.c_uint64


@pytest.mark.usefixtures("killswitch")
class TestLocalResults:
    @pytest.mark.parametrize("seed", range(12))
    def test_random_results_convert_word_for_word(self, seed):
        # The solver itself is checked in test_local_solver; this is the list built from its words.
        rng = random.Random(seed)
        values = [rng.randint(0, rng.choice([3, 40, 200, 1000])) for _ in range(rng.randint(0, 14))]
        total = sum(values)
        result = zox.complete_subset_sum(values)
        assert result == words_of_sums(sums_of(values), total)
        assert result[-1] >> (total % 64) == 1, "the total is the highest set bit"

    def test_subclass_of_list_and_int_are_accepted(self):
        class Values(list):
            pass

        class Value(int):
            pass

        assert zox.complete_subset_sum(Values([Value(3), Value(5)])) == [297]


def test_keyword_arguments_are_refused():
    with pytest.raises(TypeError):
        zox.complete_subset_sum(values=[1])


class TestKillSwitch:
    @pytest.fixture(autouse=True)
    def unreachable_service(self, monkeypatch):
        monkeypatch.setenv("ZO_SERVICE_URL", f"https://127.0.0.1:{closed_port()}")

    @pytest.mark.parametrize("value", [None, "0", "true", "1 ", " 1", ""], ids=repr)
    def test_anything_but_exactly_one_goes_remote(self, monkeypatch, value):
        if value is None:
            monkeypatch.delenv("ZO_KILLSWITCH", raising=False)
        else:
            monkeypatch.setenv("ZO_KILLSWITCH", value)
        with pytest.raises(ConnectionError):
            zox.complete_subset_sum([3, 5])

    def test_switch_is_read_afresh_on_every_call(self, monkeypatch, capfd):
        monkeypatch.setenv("ZO_KILLSWITCH", "1")
        assert zox.complete_subset_sum([3, 5]) == [297]
        monkeypatch.setenv("ZO_KILLSWITCH", "0")
        with pytest.raises(ConnectionError) as info:
            zox.complete_subset_sum([3, 5])
        out = capfd.readouterr().out
        assert f"Error occured {info.value}\n" in out
        monkeypatch.setenv("ZO_KILLSWITCH", "1")
        assert zox.complete_subset_sum([3, 5]) == [297]


class TestFrontDoor:
    """fetch_complete_subset_sum called as a C caller would."""

    def call(self, lib, values, capacity):
        arr = (U64 * max(1, len(values)))(*values)
        out = (U64 * (capacity + 1))(*([0xDEADBEEF] * (capacity + 1)))
        size = ctypes.c_size_t(capacity)
        err = ctypes.create_string_buffer(b"\xff" * 128, 128)
        status = lib.fetch_complete_subset_sum(arr, ctypes.c_size_t(len(values)), out,
                                               ctypes.byref(size), err)
        return status, list(out), size.value, err.raw

    def test_empty_input(self, lib, killswitch):
        status, out, size, err = self.call(lib, [], 1)
        assert (status, out[0], size) == (0, 1, 1)
        assert err == b"\xff" * 128, "the error buffer is untouched on success"

    def test_total_past_64_bits_is_a_local_failure(self, lib, killswitch, capfd):
        status, out, size, err = self.call(lib, [2**64 - 1, 2], 1)
        message = err.split(b"\0")[0].decode()
        assert status == -1 and message.startswith("[Local failure]")
        assert out[0] == 0xDEADBEEF, "no word is written on failure"
        assert capfd.readouterr().out == f"Failed with error: {message}\n"
