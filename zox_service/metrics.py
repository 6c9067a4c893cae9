"""What an operator sees in /metrics: one registry per process, in the Prometheus text format."""
from typing import Any, Dict, Tuple

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.exposition import CONTENT_TYPE_LATEST


class Metrics:
    def __init__(self) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        r = self.registry
        self.requests = Counter("zox_requests", "HTTP requests answered, by route and status",
                                ["route", "status"], registry=r)
        self._answers: Dict[Tuple[str, int], Any] = {}
        self._outcomes: Dict[str, Any] = {}
        self.solves = Counter("zox_solves", "Solves run by this process, by outcome", ["outcome"],
                              registry=r)
        self.solve_seconds = Histogram(
            "zox_solve_seconds", "Time of one solve, payload encoding included",
            buckets=(0.001, 0.005, 0.02, 0.1, 0.5, 2, 10, 30, 120), registry=r)
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
        """Counts one answer; each label pair's child is looked up once."""
        child = self._answers.get((route, status))
        if child is None:
            child = self._answers[(route, status)] = self.requests.labels(route, str(status))
        child.inc()

    def solved(self, outcome: str, seconds: float) -> None:
        child = self._outcomes.get(outcome)
        if child is None:
            child = self._outcomes[outcome] = self.solves.labels(outcome)
        child.inc()
        self.solve_seconds.observe(seconds)

    def exposition(self) -> bytes:
        return generate_latest(self.registry)

    content_type = CONTENT_TYPE_LATEST
