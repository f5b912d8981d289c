"""The packages as a user receives them (scripts/package puts them in build/packages):
the .deb passes lintian, unpacks into a folder whose programs run the demo and
print the build's version; the zip holds the Windows programs with their file
properties and manifest, a README with Windows line ends, and its marrowlink.exe
prints the same version under Wine.

    python3 tests/package/test_packages.py -v

MARROWLINK_PACKAGES (default build/packages), MARROWLINK_BUILD_DIR (default
build/linux) and MARROWLINK_WINDOWS_BUILD_DIR (default build/windows) name the
folders; the Linux build also provides the demo's test fixtures.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine  # noqa: E402

PACKAGES = os.environ.get("MARROWLINK_PACKAGES", os.path.join(ROOT, "build", "packages"))
LINUX_BUILD = os.environ.get("MARROWLINK_BUILD_DIR", os.path.join(ROOT, "build", "linux"))
WINDOWS_BUILD = os.environ.get("MARROWLINK_WINDOWS_BUILD_DIR", os.path.join(ROOT, "build", "windows"))
from pe_resources import RT_MANIFEST, RT_VERSION, resources, version_info  # noqa: E402

LINUX_PROGRAMS = ("marrowlink-update", "marrowlink", "marrowlink-sim")
WINDOWS_PROGRAMS = ("marrowlink-update.exe", "marrowlink.exe")
DOC = "usr/share/doc/marrowlink/"
DEMO_TIMEOUT_S = 120


def one_file(pattern):
    found = glob.glob(os.path.join(PACKAGES, pattern))
    if len(found) != 1:
        raise AssertionError("want one %s in %s, found %s (run scripts/package)" % (pattern, PACKAGES, found))
    return found[0]


def printed_version(command):
    """The version a program prints for --version ("NAME VERSION")."""
    output = subprocess.run(command + ["--version"], capture_output=True, text=True, check=True,
                            timeout=30).stdout.strip()
    return output.split()[-1]


def release_numbers():
    with open(os.path.join(ROOT, "VERSION")) as handle:
        return [int(part) for part in handle.read().strip().split(".")]


BUILD_VERSION = printed_version([os.path.join(LINUX_BUILD, "marrowlink")])


class DebianPackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.deb = one_file("*.deb")
        cls.folder = tempfile.mkdtemp(prefix="marrowlink-deb-")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.folder], check=True)
        listing = subprocess.run(["dpkg-deb", "-c", cls.deb], capture_output=True, text=True, check=True).stdout
        cls.files = sorted(line.split()[-1][2:] for line in listing.splitlines() if not line.startswith("d"))
        cls.bin = os.path.join(cls.folder, "usr", "bin")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_lintian_finds_no_errors(self):
        result = subprocess.run(["lintian", "--info", "--tag-display-limit", "0", self.deb], capture_output=True,
                                text=True)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EWIPX]: ", line)]
        print("\nlintian: %s" % ("\n  ".join(tags) if tags else "no tags"), file=sys.stderr)
        self.assertEqual([tag for tag in tags if tag.startswith("E: ")], [])
        # The programs are built hardened (fortified calls, stack protector, bind-now relro).
        self.assertEqual([tag for tag in tags if "hardening-" in tag], [])
        self.assertIn(result.returncode, (0, 2), result.stderr)

    def test_contents(self):
        expected = {"usr/bin/" + name for name in LINUX_PROGRAMS}
        expected |= {"usr/share/man/man1/%s.1.gz" % name for name in LINUX_PROGRAMS}
        expected |= {DOC + name for name in ("copyright", "changelog.gz", "changelog.Debian.gz", "README.md")}
        self.assertLessEqual(expected, set(self.files))
        # Beside them only the launcher through which a Windows download tool runs under Wine.
        self.assertEqual([name for name in self.files if not name.startswith(("usr/bin/", "usr/share/"))],
                         ["usr/libexec/marrowlink/marrowlink-wine-launcher.exe"])
        # The stand-in download tool is a test fake: on PATH it would "succeed" for the real one.
        self.assertEqual([name for name in self.files if "dfuwizard" in name.lower()], [])

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "marrowlink")
        self.assertEqual(self.field("Version"), BUILD_VERSION + "-1")
        self.assertEqual(self.field("Suggests"), "wine")
        depends = self.field("Depends")
        self.assertRegex(depends, r"libc6 \(>= [0-9.]+\)")
        self.assertRegex(depends, r"libstdc\+\+6 \(>= [0-9.]+\)")
        self.assertEqual(self.field("Section"), "comm")

    def test_unpacked_programs_print_the_build_version(self):
        for name in ("marrowlink", "marrowlink-sim"):
            self.assertEqual(printed_version([os.path.join(self.bin, name)]), BUILD_VERSION, name)
        self.assertEqual([int(part) for part in re.split(r"[.+]", BUILD_VERSION)[:3]], release_numbers())

    def test_manual_pages_render_cleanly_and_list_every_command(self):
        for name in LINUX_PROGRAMS:
            page = os.path.join(self.folder, "usr", "share", "man", "man1", name + ".1.gz")
            result = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                                    capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""), name)
            text = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                                  env=dict(os.environ, MANWIDTH="80")).stdout
            self.assertIn(name.upper() + "(1)", text.splitlines()[0])
        help_text = subprocess.run([os.path.join(self.bin, "marrowlink"), "--help"], capture_output=True,
                                   text=True, check=True).stdout
        listed = help_text.split("\nSubcommands:\n")
        commands = re.findall(r"^  ([a-z][a-z0-9-]*)\s", listed[1].split("\n\n")[0], re.M) if len(listed) > 1 else []
        page = subprocess.run(["man", "-l", os.path.join(self.folder, "usr/share/man/man1/marrowlink.1.gz")],
                              capture_output=True, text=True).stdout
        for command in commands:
            self.assertIn("COMMAND: " + command.upper(), page)

    def test_demo_runs_from_the_unpacked_programs(self):
        env = dict(os.environ, MARROWLINK_PROGRAM_DIR=self.bin, MARROWLINK_BUILD_DIR=LINUX_BUILD,
                   MARROWLINK_KEEP="0", PYTHONDONTWRITEBYTECODE="1")
        result = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "demo.py")], env=env,
                                capture_output=True, text=True, timeout=DEMO_TIMEOUT_S)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for line in ("--- %s/marrowlink-update (firmware variant: standard) ---" % self.bin,
                     "Update successful !", "Press any key to exit the update program",
                     "--- exit status 1 ---", "Keys the update changed:"):
            self.assertIn(line + "\n", result.stdout)


class WindowsZipTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.zip_path = one_file("*.zip")
        cls.top = os.path.basename(cls.zip_path)[:-len(".zip")]
        with zipfile.ZipFile(cls.zip_path) as archive:
            cls.members = {name: archive.read(name) for name in archive.namelist() if not name.endswith("/")}

    def member(self, name):
        return self.members[self.top + "/" + name]

    def test_contents(self):
        self.assertEqual(self.top, "marrowlink-%s-windows-x64" % BUILD_VERSION)
        self.assertEqual(sorted(self.members), sorted(self.top + "/" + name for name in
                                                      WINDOWS_PROGRAMS + ("README.txt", "CHANGELOG.txt")))

    def test_texts_have_windows_line_ends_and_the_readme_starts_with_the_tool_folder(self):
        for name in ("README.txt", "CHANGELOG.txt"):
            text = self.member(name)
            self.assertGreater(text.count(b"\r\n"), 10, name)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
        readme = self.member("README.txt").decode("ascii")
        self.assertEqual(readme.splitlines()[0], "Where to put the DFUWizard folder")
        self.assertIn(self.top + "\\\r\n", readme)
        self.assertIn(BUILD_VERSION, readme)

    def test_programs_carry_their_version_and_an_as_invoker_manifest(self):
        for name in WINDOWS_PROGRAMS:
            found = resources(self.member(name))
            fixed, strings = version_info(found[(RT_VERSION, 1)])
            self.assertEqual(fixed[:3], release_numbers(), name)
            self.assertEqual((strings["ProductVersion"], strings["FileVersion"]), (BUILD_VERSION, BUILD_VERSION))
            self.assertEqual((strings["ProductName"], strings["OriginalFilename"]), ("Marrowlink", name))
            self.assertTrue(strings["FileDescription"] and strings["CompanyName"], strings)
            manifest = found[(RT_MANIFEST, 1)].decode("utf-8")
            self.assertRegex(manifest, r'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>')

    def test_marrowlink_exe_prints_the_same_version_under_wine(self):
        reason = wine.missing_prerequisites(WINDOWS_BUILD)
        if reason:
            self.fail(reason)
        with tempfile.TemporaryDirectory(prefix="marrowlink-zip-") as folder:
            with zipfile.ZipFile(self.zip_path) as archive:
                archive.extractall(folder)
            session = wine.session(os.path.join(LINUX_BUILD, "wine-prefixes"), WINDOWS_BUILD)
            result = wine.run_wine_command([wine.WINE_LOADER, os.path.join(folder, self.top, "marrowlink.exe"),
                                            "--version"], session.environment())
        self.assertEqual(result.stdout.strip().split()[-1], BUILD_VERSION)


if __name__ == "__main__":
    unittest.main()
