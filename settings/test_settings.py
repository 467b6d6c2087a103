"""Imports the built `settings` extension the way the agent does and checks
every attribute, at top level and inside a package, and that the extension
does not link libpython (the interpreter that loads it provides Python)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EXTENSION = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None

CHECK = r"""
import __future__, importlib, json, sys
mod = importlib.import_module(sys.argv[1])
again = importlib.import_module(sys.argv[1])
print(json.dumps({
    "same_object": mod is again,
    "name": mod.__name__,
    "VERSION": mod.VERSION,
    "BUILD": mod.BUILD,
    "VERSION_DISPLAY": mod.VERSION_DISPLAY,
    "unicode_literals_is_future": mod.unicode_literals is __future__.unicode_literals,
    "doc_is_none": mod.__doc__ is None,
    "file": mod.__file__,
    "origin": mod.__spec__.origin,
    "has_location": mod.__spec__.has_location,
    "cached_is_none": mod.__cached__ is None,
    "public": sorted(k for k in vars(mod) if not k.startswith("__")),
}))
"""


def import_in(directory, module_name):
    out = subprocess.run([sys.executable, "-c", CHECK, module_name], cwd=directory,
                         check=True, capture_output=True, text=True)
    import json
    return json.loads(out.stdout)


class SettingsModule(unittest.TestCase):
    def setUp(self):
        self.assertIsNotNone(EXTENSION, "path of the built extension expected as argument")
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def assert_attributes(self, attrs, directory, name):
        self.assertTrue(attrs["same_object"])
        self.assertEqual(attrs["name"], name)
        self.assertEqual(attrs["VERSION"], "7.0.0")
        self.assertEqual(attrs["BUILD"], "26173")
        self.assertEqual(attrs["VERSION_DISPLAY"], "7.0.0.26173")
        self.assertEqual(attrs["VERSION_DISPLAY"], attrs["VERSION"] + "." + attrs["BUILD"])
        self.assertTrue(attrs["unicode_literals_is_future"])
        self.assertTrue(attrs["doc_is_none"])
        self.assertEqual(attrs["file"], os.path.join(directory, "settings.py"))
        self.assertEqual(attrs["origin"], attrs["file"])
        self.assertTrue(attrs["has_location"])
        self.assertTrue(attrs["cached_is_none"])
        self.assertEqual(attrs["public"], ["BUILD", "VERSION", "VERSION_DISPLAY", "unicode_literals"])

    def test_top_level_import(self):
        shutil.copy(EXTENSION, self.tmp)
        self.assert_attributes(import_in(self.tmp, "settings"), self.tmp, "settings")

    def test_import_inside_package(self):
        pkg = os.path.join(self.tmp, "agent")
        os.mkdir(pkg)
        open(os.path.join(pkg, "__init__.py"), "w").close()
        shutil.copy(EXTENSION, pkg)
        self.assert_attributes(import_in(self.tmp, "agent.settings"), pkg, "agent.settings")

    def test_links_no_libpython(self):
        ldd = subprocess.run(["ldd", EXTENSION], check=True, capture_output=True, text=True).stdout
        self.assertNotIn("libpython", ldd)
        needed = subprocess.run(["readelf", "-d", EXTENSION], check=True, capture_output=True,
                                text=True).stdout
        self.assertNotIn("libpython", needed)
        needed = {line.split("[", 1)[1].rstrip("]") for line in needed.splitlines() if "(NEEDED)" in line}
        self.assertIn("libc.so.6", needed)
        self.assertLessEqual(needed, {"libc.so.6", "libm.so.6", "libdl.so.2"})
        self.assertIn("PyInit_settings", subprocess.run(
            ["nm", "-D", "--defined-only", EXTENSION], check=True, capture_output=True,
            text=True).stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
