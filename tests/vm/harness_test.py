"""What the VM driver reads and makes without booting a machine: readelf's facts
of an executable and the record they give, with the compiler EVSNAP_VM_CC
(default cc), apt's sources, the device tree edit, each case's input and the
docs' examples as each machine runs them."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

import evsnap_vm
import guest
import record

CC = shlex.split(os.environ.get("EVSNAP_VM_CC", "cc"))


class Executables(unittest.TestCase):
    def build(self, name, *options, source="int main(void) { return 0; }\n"):
        out = pathlib.Path(self.tmp.name, name)
        subprocess.run([*CC, *options, "-x", "c", "-", "-o", str(out)], input=source, text=True,
                       check=True)
        return out

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def test_static_and_dynamic_executables_are_told_apart(self):
        static = guest.elf_facts(self.build("static", "-static"))
        dynamic = guest.elf_facts(self.build("dynamic"))
        self.assertEqual(static[:3], dynamic[:3])
        self.assertEqual((static[3], dynamic[3]), (True, False))
        self.assertIsNone(guest.elf_facts(__file__))

    def test_records_are_packed_as_the_compiler_lays_them_out(self):
        machine, bits, endian, _ = guest.elf_facts(self.build("static", "-static"))
        self.assertTrue([b for b in evsnap_vm.BOARDS.values() if b.elf == machine],
                        f"no board runs {machine} executables")
        obj = self.build("record.o", "-c", source="#include <linux/input.h>\n"
                         "__attribute__((section(\".evsnap_record\"), used)) static const"
                         " struct input_event r = {.type = 1, .code = 30, .value = -2};\n")
        dump = subprocess.run(["readelf", "-x", ".evsnap_record", str(obj)], text=True,
                              stdout=subprocess.PIPE, check=True).stdout
        laid_out = "".join(re.findall(r"^  0x[0-9a-f]{8} (.{35})", dump, re.M)).replace(" ", "")
        self.assertEqual(record.pack(1, 30, -2, bits=bits, endian=endian).hex(), laid_out)


class Sources(unittest.TestCase):
    TARGETS = ("http://mirror.example/debian/ bookworm\nhttp://mirror.example/debian/ bookworm\n"
               "http://mirror.example/debian/ bookworm-updates\n"
               "http://mirror.example/debian-security/ bookworm-security\n")

    def test_each_mirror_gives_its_main_archive_of_the_release(self):
        self.assertEqual(guest.sources_list(self.TARGETS, "trixie"),
                         "deb http://mirror.example/debian/ trixie main\n")
        self.assertEqual(guest.sources_list("", "trixie"),
                         "deb http://deb.debian.org/debian trixie main\n")


class DeviceTree(unittest.TestCase):
    SOURCE = '/dts-v1/; / { soc { watchdog@7e100000 { status = "okay"; }; rng@7e104000 {}; }; };'

    def test_the_nodes_named_are_disabled_and_no_other(self):
        if not shutil.which("dtc"):
            self.skipTest("no dtc (device-tree-compiler)")
        with tempfile.TemporaryDirectory() as tmp:
            blob, edited = pathlib.Path(tmp, "in.dtb"), pathlib.Path(tmp, "out.dtb")
            subprocess.run(["dtc", "-q", "-O", "dtb", "-o", str(blob)], input=self.SOURCE,
                           text=True, check=True)
            guest.device_tree(blob, edited, ["/soc/watchdog@7e100000"])
            status = [subprocess.run(["fdtget", "-d", "", str(edited), node, "status"], text=True,
                                     stdout=subprocess.PIPE, check=True).stdout
                      for node in ("/soc/watchdog@7e100000", "/soc/rng@7e104000")]
        self.assertEqual(status, ["disabled\n", "\n"])


class Scenarios(unittest.TestCase):
    def test_each_board_can_deliver_each_of_its_cases(self):
        examples = evsnap_vm.readme_examples(evsnap_vm.docs())
        for name, board in evsnap_vm.BOARDS.items():
            nodes = {role: "/dev/input/event9" for role in (*board.inputs, "link", "link_dir")}
            for default in board.inputs:
                for case in (evsnap_vm.readme_cases(board, examples, nodes)
                             + evsnap_vm.scenarios(board, default, 0)):
                    with self.subTest(board=name, case=case.name):
                        for text in (*case.args, case.setup, case.cleanup):
                            text.format(**nodes)  # a node the board lacks: KeyError
                        self.assertIn(case.role, board.inputs)
                        for report in filter(None, (case.before, case.inject, case.after)):
                            if report == evsnap_vm.POWER:
                                self.assertTrue(board.by_qmp and "power" in board.inputs)
                            elif board.by_qmp:
                                [evsnap_vm.qmp_event(*event) for event in report]


    def test_each_display_that_input_is_sent_to_is_made_and_bound_to(self):
        for name, board in evsnap_vm.BOARDS.items():
            options = " ".join(board.qemu)
            for display in set(board.displays.values()):
                with self.subTest(board=name, display=display):
                    self.assertRegex(options, rf"\bid={display}\b")
                    self.assertRegex(options, rf"\bdisplay={display}\b")


class ReadmeExamples(unittest.TestCase):
    BOOT = ("```sh\n# example: boot-recovery\n"
            "{ key=$(evsnap -t 3 /dev/input/by-path/buttons 2>&3); } 3>&2 2>/dev/null\n```\n")
    LOOKUP = ('```sh\n# example: find-device\ndevice=\ncase $(cat "$name") in\n'
              'gpio-keys)\n    device=/dev/input/event0 ;;\nesac\n```\n')
    OTHER = "```sh\nkey=$(evsnap -t 9 /dev/input/event7)\n```\n"

    def test_each_board_runs_them_as_written_but_for_its_button(self):
        lookup, boot = evsnap_vm.readme_examples(evsnap_vm.docs())
        for name, board in evsnap_vm.BOARDS.items():
            with self.subTest(board=name):
                nodes = {role: f"/dev/input/event{i}" for i, role in enumerate(board.inputs)}
                cases = evsnap_vm.readme_cases(board, (lookup, boot), nodes)
                files = {path: text for case in cases for path, text in case.files.items()}
                button, node = board.inputs[board.button], nodes[board.button]
                pattern = evsnap_vm.LOOKUP_NAME.search(lookup)[2]
                self.assertIn(f'"{button}")\n', files["/tmp/lookup.sh"])
                self.assertEqual(files["/tmp/lookup.sh"].replace(f'"{button}"', pattern), lookup)
                self.assertEqual(cases[0].out, node + "\n")
                written = files["/tmp/boot.sh"]
                self.assertEqual(evsnap_vm.EXAMPLE_DEVICE.findall(written), [node])
                self.assertEqual(written.replace(node, evsnap_vm.EXAMPLE_DEVICE.search(boot)[0]),
                                 boot)
                self.assertEqual(cases[1].lasts, 3)

    def test_examples_of_another_shape_are_refused(self):
        self.assertEqual(evsnap_vm.readme_examples(self.OTHER + self.LOOKUP + self.BOOT),
                         (self.LOOKUP[6:-4], self.BOOT[6:-4]))
        for markdown in (self.BOOT, self.LOOKUP, self.BOOT.replace(" 2>&3", " /dev/input/x 2>&3")
                         + self.LOOKUP, self.BOOT.replace("-t 3 ", "") + self.LOOKUP,
                         self.BOOT + self.LOOKUP.replace("find-device", "find-devices")):
            with self.subTest(markdown=markdown), self.assertRaises(ValueError):
                evsnap_vm.readme_examples(markdown)


if __name__ == "__main__":
    unittest.main()
