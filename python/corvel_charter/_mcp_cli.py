"""The command ``mcp-proxy``: the gate in front of an MCP server, for any MCP client.

    corvel-charter mcp-proxy --policy P --trail T --key K [--origin O] [--agent NAME]
                             [--server-name NAME] [--sync-every N]
                             [--approver VKEY ... [--nonce-store URL]] -- COMMAND [ARGS...]

The client starts this command in place of the server; the proxy starts the server and judges
every tool call by the policy, recording each decision (and each allowed call's outcome) in the
trail T before it answers. Exit status: see corvel_charter.mcp_proxy.EXIT_STATUS; 2 for a usage
error (a policy that does not parse, a key or trail that cannot be opened), before the server is
started."""

import argparse
import asyncio
import os
import sys

import corvel_charter as cc
from corvel_charter._gate_cli import UsageError
from corvel_charter._gate_cli import read as read_text


def add_commands(commands):
    proxy = commands.add_parser(
        "mcp-proxy",
        help="run an MCP server behind the gate: every tool call judged by a Cedar policy and recorded",
        description="Starts COMMAND as an MCP server over standard input and output and relays the protocol, "
        "judging each tools/call by the policy first. Put it in an MCP client's server configuration in place "
        "of the server's own command.",
    )
    proxy.add_argument("--policy", required=True, metavar="P",
                       help="the Cedar policy file ('example' for the policy shipped with the package)")
    proxy.add_argument("--schema", metavar="FILE", help="a Cedar schema file the policy must validate against")
    proxy.add_argument("--trail", required=True, metavar="T", help="the audit trail file (created if missing)")
    proxy.add_argument("--key", required=True, metavar="K", help="the trail's private key file")
    proxy.add_argument("--origin", metavar="O", help="keep a signed checkpoint beside the trail under this origin")
    proxy.add_argument("--agent", default="mcp-client", help="the agent's name in the policy's requests")
    proxy.add_argument("--server-name", metavar="NAME",
                       help="the server's name in the policy's requests (default: the name it gives at initialize)")
    proxy.add_argument("--sync-every", type=int, default=1, metavar="N",
                       help="sync the trail every N entries (default 1: each decision is on disk before the call "
                            "goes on; 0: only at checkpoints and at exit)")
    proxy.add_argument("--approver", action="append", default=[], metavar="VKEY",
                       help="an approver's verifier key (text or file); repeat for several. A call that only "
                            "@approval policies deny is then answered with an approval request, and allowed when "
                            "retried with an approval signed by one of them")
    proxy.add_argument("--approval-name", metavar="NAME",
                       help="the key name the approval requests are signed under (default: --origin, else --agent)")
    proxy.add_argument("--nonce-store", default="memory:", metavar="URL",
                       help="where used approvals are remembered: memory:, sqlite:///path or redis://host:port/db "
                            "(default memory:, this process only)")
    proxy.add_argument("--approval-life", type=int, default=600, metavar="SECONDS",
                       help="how long an approval request stays good (default 600)")
    proxy.add_argument("--max-message-bytes", type=int, metavar="N",
                       help="the largest message taken from either side (default 16 MiB)")
    proxy.add_argument("server", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARGS...]",
                       help="the MCP server to start")
    proxy.set_defaults(proxy_run=proxy_command)


def say(text):
    print(f"corvel-charter mcp-proxy: {text}", file=sys.stderr, flush=True)


def run(args):
    try:
        return args.proxy_run(args)
    except UsageError as error:
        say(f"error: {error}")
        return 2


def proxy_command(args):
    from corvel_charter import mcp_proxy

    command = args.server[1:] if args.server[:1] == ["--"] else args.server
    if not command:
        raise UsageError("no server command: give it after --, as in: mcp-proxy ... -- python server.py")
    if args.sync_every < 0 or (args.max_message_bytes is not None and args.max_message_bytes < 1024):
        raise UsageError("--sync-every must be 0 or more, --max-message-bytes at least 1024")
    judge = gate_judge(args)
    try:
        limit = args.max_message_bytes or mcp_proxy.DEFAULT_MAX_MESSAGE_BYTES
        # A trail synced per entry waits on the disk: then the gate works in a thread of its own.
        return asyncio.run(mcp_proxy.run_proxy(command, judge, server_name=args.server_name,
                                               max_message_bytes=limit, log=say,
                                               judge_in_thread=args.sync_every != 0))
    except FileNotFoundError as missing:
        raise UsageError(f"cannot start the server: {missing.strerror}: {command[0]}") from None
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    finally:
        judge.close()


def gate_judge(args):
    try:
        from corvel_charter import gate as gates
    except ImportError as missing:
        raise UsageError(str(missing)) from None
    from corvel_charter.mcp_proxy import GateJudge

    policy = gates.example_policy() if args.policy == "example" else read_text(args.policy, "--policy")
    schema = read_text(args.schema, "--schema") if args.schema else None
    try:
        # The policy is parsed (and validated) now: the proxy never starts the server without it.
        gates.Gate.check_policy(policy, schema)
        key = cc.TrailKey.load(args.key)
        trail = cc.AuditTrail(args.trail, key, sync_every=args.sync_every,
                              checkpoint_origin=args.origin if args.origin else None)
    except (gates.PolicyError, cc.TrailError, OSError) as error:
        raise UsageError(str(error)) from None
    approvals = {}
    if args.approver:
        from corvel_charter.nonce_stores import NonceStoreError, open_nonce_store

        name = args.approval_name or args.origin or args.agent
        try:
            approvers = [verifier_key_text(text) for text in args.approver]
            for approver in approvers:
                cc.TrailPublicKey.parse(approver)
            store = open_nonce_store(args.nonce_store)
            gate_key = key.public_key.verifier_key(name)
        except (cc.TrailKeyError, NonceStoreError, ValueError, ImportError) as error:
            trail.close()
            raise UsageError(str(error)) from None
        approvals = {"approvers": approvers, "approval_key": key, "approval_name": name, "nonce_store": store,
                     "approval_life": args.approval_life}
        say(f"approval requests are signed as {name}; approvers check them with --gate-key {gate_key}")
    return GateJudge(policy, trail, args.agent, schema=schema, **approvals)


def verifier_key_text(argument):
    """A verifier key given as its text or as a file holding it."""
    if os.path.isfile(argument):
        return read_text(argument, "--approver").strip()
    return argument.strip()
