"""A small MCP server for the proxy's tests: a file write, a shell-like command and a read.

Every call it receives is appended, as one JSON line, to the file named by RECEIVED_LOG, so a test
can tell which calls reached it. `sleep` holds a call open; `crash` ends the process mid-call.
"""

import json
import os

from mcp.server.mcpserver import MCPServer

server = MCPServer("test-files")
RECEIVED = os.environ.get("RECEIVED_LOG")


def received(tool, **arguments):
    if RECEIVED:
        with open(RECEIVED, "a") as log:
            log.write(json.dumps({"tool": tool, "arguments": arguments}) + "\n")


@server.tool()
def write_file(path: str, content: str) -> str:
    """Write a file (pretend)."""
    received("write_file", path=path, content=content)
    return f"wrote {len(content)} bytes to {path}"


@server.tool()
def run_command(command: str) -> str:
    """Run a shell command (pretend)."""
    received("run_command", command=command)
    return f"ran: {command}"


@server.tool()
def read_file(path: str) -> str:
    """Read a file (pretend)."""
    received("read_file", path=path)
    return f"content of {path}"


@server.tool()
def delete_tree(path: str) -> str:
    """Delete a folder and all it holds (pretend)."""
    received("delete_tree", path=path)
    return f"deleted {path}"


@server.tool()
async def sleep(seconds: float, tag: str) -> str:
    """Answer after a while."""
    import anyio

    received("sleep", seconds=seconds, tag=tag)
    await anyio.sleep(seconds)
    return f"slept {tag}"


@server.tool()
def crash() -> str:
    """End the server in the middle of the call."""
    received("crash")
    os._exit(17)


if __name__ == "__main__":
    server.run("stdio")
