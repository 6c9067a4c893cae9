"""Independent references the tests compare the module's answers with."""


def sums_of(values):
    """Every subset sum, by plain set growth (for few values)."""
    sums = {0}
    for v in values:
        sums |= {s + v for s in sums}
    return sums


def sum_bits(values):
    """Every subset sum as the bits of one int, by shift-or (for many values)."""
    bits = 1
    for v in values:
        bits |= bits << v
    return bits


def sums_bitset(values) -> bytes:
    """The little-endian sum bitset of `values`, as the service sends it before compression."""
    return sum_bits(values).to_bytes(sum(values) // 8 + 1, "little")


def bits_of(words):
    """The set of sums a result list stands for."""
    return {64 * i + b for i, w in enumerate(words) for b in range(64) if w >> b & 1}


def words_of_sums(sums, total):
    """The result list for a set of sums: total // 64 + 1 words."""
    words = [0] * (total // 64 + 1)
    for s in sums:
        words[s // 64] |= 1 << (s % 64)
    return words


def le_words(raw: bytes, count: int):
    """The first `count` little-endian 64-bit words of `raw`, zero-padded."""
    raw = raw[: count * 8].ljust(count * 8, b"\0")
    return [int.from_bytes(raw[8 * i: 8 * i + 8], "little") for i in range(count)]
