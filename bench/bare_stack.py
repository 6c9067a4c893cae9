"""The floor the service is measured against: a bare Starlette app on the front end's server stack
(the nginx edge with TLS, uvicorn with uvloop and httptools on its unix socket) that answers the
two requests of a solve, the submit and the poll, with fixed answers: what the client and the
stack cost with no service behind them. --direct: on uvicorn alone, with TLS, no edge.

    python bench/bare_stack.py PORT CERT KEY [--direct]
"""
import sys
from array import array

import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from service_load import PROBLEM


def _payload() -> bytes:
    import zox

    from zox_service.wire import encode_result
    return encode_result(array("Q", zox._solve_local_array(array("Q", PROBLEM))))


PAYLOAD = _payload()
SUBMITTED = b'{"requestId":"' + b"0" * 32 + b'"}'


async def submit(request: Request) -> Response:
    await request.body()
    return Response(SUBMITTED, media_type="application/json")


async def result(request: Request) -> Response:
    return Response(PAYLOAD, media_type="application/gzip")


app = Starlette(routes=[Route("/v0/app/sspu", submit, methods=["POST"]),
                        Route("/v0/result", result, methods=["GET"])])

def main() -> None:
    port, cert, key = sys.argv[1:4]
    if sys.argv[4:] == ["--direct"]:
        print(f"zox_service listening on https://localhost:{port}", flush=True)
        uvicorn.run(app, host="127.0.0.1", port=int(port), ssl_certfile=cert, ssl_keyfile=key,
                    loop="uvloop", http="httptools", log_level="warning")
        return
    from zox_service.http.edge import Edge, find_nginx, render
    from zox_service.limits import Limits

    edge = Edge(find_nginx() or "nginx")
    edge.start(render(Limits(), "127.0.0.1", int(port), cert, key, edge.run_dir), "127.0.0.1",
               int(port))
    print(f"zox_service listening on https://localhost:{port}", flush=True)
    try:
        uvicorn.run(app, uds=edge.socket_path, loop="uvloop", http="httptools",
                    log_level="warning", timeout_keep_alive=75)
    finally:
        edge.stop(5)


if __name__ == "__main__":
    main()
