"""Corvel Charter Python module

Provides tamper-evident cryptographic framework for AI accountability.

# Example

```python
import corvel_charter as cc

# Create and seal charter
charter = cc.SealedCharter(rules=["Do no harm", "Respect privacy"])
charter.seal()

# Verify action
action = cc.Action.delete_file("user_data.txt")
proof = charter.verify_action(action)

# Audit proof
auditor = cc.ProofAuditor()
auditor.verify_proof(proof)
```
"""

# The package re-exports the native module, whose stubs are _corvel_core-stubs.
from _corvel_core import *
from _corvel_core import __all__ as __all__
from _corvel_core import __author__ as __author__
from _corvel_core import __version__ as __version__
