"""Brimvault menus in Nemo (nemo-python), whose interface is Nautilus's; see brimvault_fm."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gi.repository import GObject, Nemo  # noqa: E402

import brimvault_fm  # noqa: E402

BrimvaultNemoExtension = brimvault_fm.make_extension(Nemo, GObject, "BrimvaultNemo")
