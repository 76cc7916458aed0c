"""The awaitable append: it runs beside the event loop, never in it, and concurrent ones each
get their own index in a trail that verifies."""

import asyncio

import pytest

import corvel_charter as cc

import trail_reference as ref


def test_awaited_appends_leave_the_loop_free_and_the_trail_whole(tmp_path, key):
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    path = tmp_path / "trail.json"

    async def main(trail):
        action = cc.Action.read_file("first")
        pending = trail.append_async(action, charter.verify_action(action), cc.Decision.approved())
        # The append runs in the executor: its result can reach the loop only once the loop runs.
        assert not pending.done()
        assert await pending == (0, trail.head_hash)

        async def one(i):
            action = cc.Action.read_file(f"f{i}")
            return (await trail.append_async(action, charter.verify_action(action), cc.Decision.approved()))[0]

        return await asyncio.gather(*(one(i) for i in range(40)))

    with cc.AuditTrail(str(path), key) as trail:
        indexes = asyncio.run(main(trail))
    assert sorted(indexes) == list(range(1, 41))
    assert ref.verify(path.read_bytes(), key.public_key.raw)[0] == 41


def test_awaited_appends_report_errors_and_need_a_running_loop(tmp_path, key):
    charter = cc.SealedCharter(rules=["Do no harm"])
    charter.seal()
    action = cc.Action.read_file("x")
    proof = charter.verify_action(action)
    with cc.AuditTrail(str(tmp_path / "trail.json"), key) as trail:
        with pytest.raises(RuntimeError, match="no running event loop"):
            trail.append_async(action, proof, cc.Decision.approved())

        async def twice():
            await trail.append_async(action, proof, cc.Decision.approved())
            await trail.append_async(action, proof, cc.Decision.approved())

        with pytest.raises(cc.TrailError, match="nonce"):
            asyncio.run(twice())
        with pytest.raises(TypeError):
            trail.append_async(action)
        assert trail.count == 1
