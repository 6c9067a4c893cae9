"""What an operator sees in /metrics: one registry per process, in the Prometheus text format."""
import time
from bisect import bisect_left
from typing import Dict, Iterator, List, Tuple

from prometheus_client import CollectorRegistry, Counter, Gauge, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST
from prometheus_client.metrics_core import (CounterMetricFamily, HistogramMetricFamily,
                                            Metric)

SOLVE_BUCKETS = (0.001, 0.005, 0.02, 0.1, 0.5, 2, 10, 30, 120)


class _PerRequest:
    """The counts every request and solve adds to, kept as plain numbers and read out at each
    scrape (a custom collector). The library's own counters take a lock per increment, which
    was a tenth of a small solve's processor; these are only written on the event loop."""

    def __init__(self) -> None:
        self.answers: Dict[Tuple[str, int], List[float]] = {}  # count, first counted
        self.outcomes: Dict[str, List[float]] = {}
        self.buckets = [0] * (len(SOLVE_BUCKETS) + 1)  # the last: above every bound
        self.seconds = 0.0

    def collect(self) -> Iterator[Metric]:
        # Copied at once: a worker's metrics are read on the exposition server's thread.
        answers, outcomes = list(self.answers.items()), list(self.outcomes.items())
        buckets, seconds = list(self.buckets), self.seconds
        requests = CounterMetricFamily("zox_requests", "HTTP requests answered, by route and status",
                                       labels=["route", "status"])
        for (route, status), (count, created) in sorted(answers):
            requests.add_metric([route, str(status)], count, created)
        yield requests
        solves = CounterMetricFamily("zox_solves", "Solves run by this process, by outcome",
                                     labels=["outcome"])
        for outcome, (count, created) in sorted(outcomes):
            solves.add_metric([outcome], count, created)
        yield solves
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
            "a reader slower than its deadline, by reason (the edge's own cuts are in its log)", ["reason"], registry=r)
        self.body_bytes_in_flight = Gauge(
            "zox_body_bytes_in_flight", "Bytes of request bodies being received, as reserved",
            registry=r)

        self.unsent_bytes = Gauge(
            "zox_unsent_bytes", "Bytes of answers on their way to readers, as reserved",
            registry=r)

    def answered(self, route: str, status: int) -> None:
        """Counts one answer (on the event loop)."""
        counted = self._counts.answers.get((route, status))
        if counted is None:
            self._counts.answers[(route, status)] = [1, time.time()]
        else:
            counted[0] += 1

    def solved(self, outcome: str, seconds: float) -> None:
        """Counts one solve and its time (on the event loop)."""
        counts = self._counts
        counted = counts.outcomes.get(outcome)
        if counted is None:
            counts.outcomes[outcome] = [1, time.time()]
        else:
            counted[0] += 1
        counts.buckets[bisect_left(SOLVE_BUCKETS, seconds)] += 1
        counts.seconds += seconds

    def exposition(self) -> bytes:
        return generate_latest(self.registry)

    content_type = CONTENT_TYPE_LATEST
