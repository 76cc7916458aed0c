"""A server that breaks the protocol: it answers initialize, then writes a line that is not JSON
on its output instead of answering the first tool call (the SDK's own servers never would)."""

import json
import sys

for line in sys.stdin:
    message = json.loads(line)
    if message.get("method") == "initialize":
        result = {"protocolVersion": message["params"]["protocolVersion"], "capabilities": {"tools": {}},
                  "serverInfo": {"name": "garbling", "version": "1"}}
        print(json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": result}), flush=True)
    elif message.get("method") == "tools/call":
        print("this is not json", flush=True)
