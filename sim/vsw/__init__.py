"""The virtual switch, one module per concern (see vswitch.py)."""
