"""Many requests at once from one asyncio loop, on one engine.

    python examples/many_requests.py URL [COUNT]
"""

import asyncio
import sys
import time

import corvina_native as cn
from aio import fetch


async def many(engine: cn.PyEngine, url: str, count: int = 200) -> int:
    started = time.monotonic()
    results = await asyncio.gather(*(fetch(engine, "GET", url) for _ in range(count)))
    ok = sum(1 for status, _, _ in results if 200 <= status < 300)
    seconds = time.monotonic() - started
    print(f"{count} concurrent GETs: {ok} ok in {seconds:.2f} s ({count / seconds:.0f} req/s)")
    return ok


if __name__ == "__main__":
    asyncio.run(many(cn.PyEngine(), sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200))
