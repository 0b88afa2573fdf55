"""What the VM driver reads and makes without booting a machine: the module
load order, the ELF header of an executable, the record each machine's kernel
delivers, the device tree edit, the input each case sends and the README's
examples as each machine runs them. EVSNAP_VM_CC names the compiler (default
cc): the build's own makes objects and executables like those of the kernel and
the evsnap the build tests."""

import gzip
import lzma
import os
import pathlib
import shlex
import shutil
import subprocess
import tempfile
import unittest

import evsnap_vm
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


class Executables(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def build(self, name, *options, source="int main(void) { return 0; }\n"):
        (self.root / "main.c").write_text(source)
        out = self.root / name
        subprocess.run([*CC, *options, "-x", "c", str(self.root / "main.c"), "-o", str(out)],
                       check=True)
        return out

    def test_static_and_dynamic_executables_are_told_apart(self):
        static = guest.elf_machine(self.build("static", "-static"))
        dynamic = guest.elf_machine(self.build("dynamic"))
        self.assertEqual(static[:2], dynamic[:2])
        self.assertIn(static[1], (32, 64))
        self.assertEqual((static[2], dynamic[2]), (False, True))

    def test_boards_pack_records_as_their_compiler_lays_them_out(self):
        machine, bits, _ = guest.elf_machine(self.build("static", "-static"))
        boards = {n: b for n, b in evsnap_vm.BOARDS.items() if b.elf == machine}
        self.assertTrue(boards, f"no board runs executables of e_machine {machine}")
        for name, board in boards.items():
            with self.subTest(board=name):
                self.assertEqual(board.bits, bits)
                self.build("record.o", "-c", source="#include <linux/input.h>\n"
                           "_Static_assert(sizeof(struct input_event) == "
                           f"{board.record.size}, \"\");\n")


class DeviceTree(unittest.TestCase):
    SOURCE = """/dts-v1/;

/ {
\tsoc {
\t\twatchdog@7e100000 {
\t\t\tcompatible = "brcm,bcm2835-pm";
\t\t\tstatus = "okay";
\t\t};

\t\trng@7e104000 {
\t\t\tstatus = "okay";
\t\t};
\t};
};
"""

    def test_the_node_named_is_disabled_and_no_other(self):
        watchdog, rng = guest.disable_nodes(self.SOURCE, ["watchdog@7e100000"]).split("rng@")
        self.assertEqual(watchdog.count("status"), 1)
        self.assertIn('\t\t\tstatus = "disabled";\n', watchdog)
        self.assertIn('status = "okay";', rng)
        with self.assertRaisesRegex(ValueError, "no node watchdog@0"):
            guest.disable_nodes(self.SOURCE, ["watchdog@0"])

    def test_dtc_takes_the_edited_tree(self):
        if not shutil.which("dtc"):
            self.skipTest("no dtc (device-tree-compiler)")
        with tempfile.TemporaryDirectory() as tmp:
            blob, edited = pathlib.Path(tmp, "in.dtb"), pathlib.Path(tmp, "out.dtb")
            subprocess.run(["dtc", "-q", "-O", "dtb", "-o", str(blob)], input=self.SOURCE,
                           text=True, check=True)
            guest.device_tree(blob, edited, ["watchdog@7e100000"])
            status = subprocess.run(["fdtget", str(edited), "/soc/watchdog@7e100000", "status"],
                                    text=True, stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(status, "disabled\n")


class Scenarios(unittest.TestCase):
    def test_each_board_can_deliver_each_of_its_cases(self):
        examples = evsnap_vm.readme_examples(evsnap_vm.README.read_text())
        for name, board in evsnap_vm.BOARDS.items():
            nodes = {role: "/dev/input/event9" for role in (*board.inputs, "link", "link_dir")}
            for default in board.inputs:
                for case in (evsnap_vm.readme_cases(board, examples, nodes)
                             + evsnap_vm.scenarios(board, default)):
                    with self.subTest(board=name, case=case.name):
                        for text in (*case.args, case.setup, case.cleanup):
                            text.format(**nodes)  # a node the board lacks: KeyError
                        for report in filter(None, (case.before, case.inject, case.after)):
                            if report == evsnap_vm.POWER:
                                self.assertTrue(board.by_qmp and "power" in board.inputs)
                            elif board.by_qmp:
                                [evsnap_vm.qmp_event(*event) for event in report]


class ReadmeExamples(unittest.TestCase):
    BOOT = "```sh\n{ key=$(evsnap -t 3 /dev/input/by-path/buttons 2>&3); } 3>&2 2>/dev/null\n```\n"
    LOOKUP = ('## Finding your device\n\n```sh\ndevice=\n[ "$(cat "$name")" = "gpio-keys" ]'
              ' && device=/dev/input/event0\n```\n')

    def test_each_board_runs_them_as_written_but_for_its_button(self):
        lookup, boot = evsnap_vm.readme_examples(evsnap_vm.README.read_text())
        for name, board in evsnap_vm.BOARDS.items():
            with self.subTest(board=name):
                nodes = {role: f"/dev/input/event{i}" for i, role in enumerate(board.inputs)}
                cases = evsnap_vm.readme_cases(board, (lookup, boot), nodes)
                files = {path: text for case in cases for path, text in case.files.items()}
                button, node = board.inputs[board.button], nodes[board.button]
                self.assertIn(f'= "{button}" ]', files["/tmp/lookup.sh"])
                self.assertEqual(files["/tmp/lookup.sh"].replace(button, "gpio-keys"), lookup)
                self.assertEqual(cases[0].out, node + "\n")
                written = files["/tmp/boot.sh"]
                self.assertEqual(evsnap_vm.EXAMPLE_DEVICE.findall(written), [node])
                self.assertEqual(written.replace(node, evsnap_vm.EXAMPLE_DEVICE.search(boot)[0]),
                                 boot)
                self.assertEqual(cases[1].lasts, 3)

    def test_examples_of_another_shape_are_refused(self):
        evsnap_vm.readme_examples(self.BOOT + self.LOOKUP)
        for markdown in (self.BOOT, self.LOOKUP, self.BOOT.replace(" 2>&3", " /dev/input/x 2>&3")
                         + self.LOOKUP, self.BOOT.replace("-t 3 ", "") + self.LOOKUP):
            with self.subTest(markdown=markdown), self.assertRaises(ValueError):
                evsnap_vm.readme_examples(markdown)


if __name__ == "__main__":
    unittest.main()
