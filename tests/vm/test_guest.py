"""The module load order read from modules as a compiler lays them out.
EVSNAP_VM_CC names the compiler (default cc): the target's makes objects like
the armhf kernel's own modules."""

import gzip
import lzma
import os
import pathlib
import shlex
import subprocess
import tempfile
import unittest

import guest

CC = shlex.split(os.environ.get("EVSNAP_VM_CC", "cc"))


class LoadOrder(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.tmp.name)
        self.kernel = self.root / "kernel"
        self.kernel.mkdir()

    def tearDown(self):
        self.tmp.cleanup()

    def module(self, file, depends):
        """A module object under kernel/ whose .modinfo says depends=`depends`,
        compressed as its name says."""
        source = self.root / "m.c"
        entries = ["license=GPL", f"depends={depends}", "intree=Y"]
        source.write_text("".join(
            f'static const char info{i}[] __attribute__((section(".modinfo"), used)) = "{e}";\n'
            for i, e in enumerate(entries)))
        obj = self.root / "m.o"
        subprocess.run([*CC, "-c", "-x", "c", str(source), "-o", str(obj)], check=True)
        data = obj.read_bytes()
        if file.endswith(".xz"):
            data = lzma.compress(data)
        elif file.endswith(".gz"):
            data = gzip.compress(data)
        path = self.kernel / file
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def order(self, *wanted):
        return [name for name, _ in guest.load_order(self.root, wanted)]

    def test_dependencies_come_first_and_once(self):
        self.module("drivers/top.ko", "left,right")
        self.module("drivers/left.ko", "base")
        self.module("drivers/right.ko", "base")
        self.module("lib/base.ko", "")
        self.module("lib/unused.ko", "")
        self.assertEqual(self.order("top"), ["base", "left", "right", "top"])
        self.assertEqual(self.order("right", "top"), ["base", "right", "left", "top"])

    def test_built_in_modules_are_skipped(self):
        (self.root / "modules.builtin").write_text("kernel/drivers/virtio/virtio.ko\n")
        self.module("drivers/virtio_input.ko", "virtio")
        self.assertEqual(self.order("virtio_input"), ["virtio_input"])

    def test_dash_and_underscore_name_the_same_module(self):
        self.module("sound/snd-pcm.ko", "snd_timer")
        self.module("sound/snd-timer.ko", "")
        self.assertEqual(self.order("snd-pcm"), ["snd_timer", "snd_pcm"])

    def test_compressed_modules_are_unpacked(self):
        self.module("drivers/evdev.ko.xz", "input_core")
        self.module("drivers/input-core.ko.gz", "")
        order = guest.load_order(self.root, ["evdev"])
        self.assertEqual([name for name, _ in order], ["input_core", "evdev"])
        for _, elf in order:
            self.assertEqual(elf[:4], b"\x7fELF")

    def test_missing_and_circular_dependencies_are_refused(self):
        self.module("a.ko", "b")
        self.module("b.ko", "gone")
        with self.assertRaisesRegex(ValueError, "gone .*a -> b"):
            self.order("a")
        self.module("b.ko", "c")
        self.module("c.ko", "a")
        with self.assertRaisesRegex(ValueError, "cycle: a -> b -> c -> a"):
            self.order("a")


if __name__ == "__main__":
    unittest.main()
