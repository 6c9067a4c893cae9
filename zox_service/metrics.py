"""What an operator sees in /metrics: one registry per process, in the Prometheus text format."""
import time
from bisect import bisect_left
from typing import Dict, Iterator, List, Tuple

from prometheus_client import CollectorRegistry, Counter, Gauge, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST
from prometheus_client.metrics_core import (CounterMetricFamily, HistogramMetricFamily,
                                            Metric)

SOLVE_BUCKETS = (0.001, 0.005, 0.02, 0.1, 0.5, 2, 10, 30, 120)


# A labelled count: its label values, then the count and when it was first counted.
Counts = Dict[Tuple[str, ...], List[float]]


def _count(counts: Counts, labels: Tuple[str, ...]) -> None:
    counted = counts.get(labels)
    if counted is None:
        counts[labels] = [1, time.time()]
    else:
        counted[0] += 1


def _counter(name: str, documentation: str, label_names: List[str],
             counts: Counts) -> CounterMetricFamily:
    family = CounterMetricFamily(name, documentation, labels=label_names)
    # Copied at once: a worker's metrics are read on the exposition server's thread.
    for labels, (count, created) in sorted(list(counts.items())):
        family.add_metric(list(labels), count, created)
    return family


class _PerRequest:
    """The counts every request and solve adds to, kept as plain numbers and read out at each
    scrape (a custom collector). The library's own counters take a lock per increment, which
    was a tenth of a small solve's processor; these are only written on the event loop."""

    def __init__(self) -> None:
        self.answers: Counts = {}  # by route and status
        self.outcomes: Counts = {}
        self.buckets = [0] * (len(SOLVE_BUCKETS) + 1)  # the last: above every bound
        self.seconds = 0.0

    def collect(self) -> Iterator[Metric]:
        yield _counter("zox_requests", "HTTP requests answered, by route and status",
                       ["route", "status"], self.answers)
        yield _counter("zox_solves", "Solves run by this process, by outcome", ["outcome"],
                       self.outcomes)
        buckets, seconds = list(self.buckets), self.seconds
        running, cumulative = 0, []
        for bound, count in zip([*map(str, map(float, SOLVE_BUCKETS)), "+Inf"], buckets):
            running += count
            cumulative.append((bound, running))
        yield HistogramMetricFamily("zox_solve_seconds",
                                    "Time of one solve, payload encoding included",
                                    buckets=cumulative, sum_value=seconds)


class Metrics:
    def __init__(self) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        r = self.registry
        self._counts = _PerRequest()
        r.register(self._counts)
        self.queue_depth = Gauge("zox_queue_depth", "Problems waiting or being solved in the store",
                                 registry=r)
        self.refusals = Counter("zox_refusals", "Requests refused by a limit, by reason",
                                ["reason"], registry=r)
        self.connections_cut = Counter(
            "zox_connections_cut", "Requests whose connection the application closed for a body or "
            "a reader slower than its deadline, by reason (the edge's own cuts are in its log)",
            ["reason"], registry=r)
        self.body_bytes_in_flight = Gauge(
            "zox_body_bytes_in_flight", "Bytes of request bodies being received, as reserved",
            registry=r)

        self.unsent_bytes = Gauge(
            "zox_unsent_bytes", "Bytes of answers on their way to readers, as reserved",
            registry=r)

    def answered(self, route: str, status: int) -> None:
        """Counts one answer (on the event loop)."""
        _count(self._counts.answers, (route, str(status)))

    def solved(self, outcome: str, seconds: float) -> None:
        """Counts one solve and its time (on the event loop)."""
        counts = self._counts
        _count(counts.outcomes, (outcome,))
        counts.buckets[bisect_left(SOLVE_BUCKETS, seconds)] += 1
        counts.seconds += seconds

    def exposition(self) -> bytes:
        return generate_latest(self.registry)

    content_type = CONTENT_TYPE_LATEST
