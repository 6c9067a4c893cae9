"""Solves one small problem in-process and shows the result words and the sums they stand for."""
import os

os.environ["ZO_KILLSWITCH"] = "1"

import zox  # noqa: E402

values = [3, 5, 11, 64]
words = zox.complete_subset_sum(values)
sums = [64 * i + b for i, w in enumerate(words) for b in range(64) if w >> b & 1]
print(f"values: {values}")
print(f"result: {words}")
print(f"sums:   {sums}")
