"""Brimvault menus in Nautilus (nautilus-python); the behaviour is in brimvault_fm."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gi.repository import GObject, Nautilus  # noqa: E402

import brimvault_fm  # noqa: E402

BrimvaultNautilusExtension = brimvault_fm.make_extension(Nautilus, GObject, "BrimvaultNautilus")
