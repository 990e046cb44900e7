"""The emitters, each writing the files of one concern from the model."""
from . import emit_types, emit_interfaces

ALL = [emit_types.emit, emit_interfaces.emit]
