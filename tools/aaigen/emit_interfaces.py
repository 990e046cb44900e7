"""The interfaces: abstract classes, proxies, stubs, reference marshallers and the broker."""
from .template import render


def emit(model, out):
    out.add("include/aai/broker.h", render("iface_broker.h"))
    out.add("src/aaibroker.cpp", render("iface_broker.cpp"))
