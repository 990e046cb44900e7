"""Placeholder: emits nothing yet."""


def emit(model, out):
    pass
