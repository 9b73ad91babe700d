"""packaging/author_msi.py and packaging/check_app.py without Wine or
msitools: the GUIDs the packages of earlier versions carry, the formatted
texts, msi-tables.sql's statements, the component tree, and the folder and
jar checks. Run: python3 -m unittest tools_test (from this folder), with
MERIVAST_PACKAGING naming packaging/."""
import os
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.environ.get("MERIVAST_PACKAGING", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging")))
import author_msi  # noqa: E402
import check_app  # noqa: E402


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def jar(path, entries, manifest=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with zipfile.ZipFile(path, "w") as archive:
        if manifest is not None:
            archive.writestr("META-INF/MANIFEST.MF", manifest)
        for entry in entries:
            archive.writestr(entry, b"")


class AuthorTest(unittest.TestCase):
    def test_guids_are_those_of_earlier_packages(self):
        # Upgrade codes must stay what scripts/package gave every earlier
        # version, or a new version would not replace an installed one.
        cases = [("x86", "MerivastService", "upgrade code", "2C53C976-2E38-515E-9DA4-8439A84DFE3F"),
                 ("x64", "merivastservice", "upgrade code", "1541E74A-E952-5C2C-8BAE-8697CAA09028"),
                 ("x64", "MvtShipTwo", "file lib/http-sample.jar",
                  "8E9AAA30-90DE-5F60-A874-DCA388D2D4F9")]
        for arch, name, what, guid in cases:
            self.assertEqual(author_msi.guid_of(arch, name, what), guid)
        self.assertEqual(author_msi.uuid_of("ProductCode abc"),
                         "43D8AE00-4A74-5261-BF69-F48F80A54255")

    def test_formatted_escapes_brackets_and_braces(self):
        self.assertEqual(author_msi.formatted("a[b]{c}d"), r"a[\[]b[\]][\{]c[\}]d")

    def test_statements_are_joined_and_their_words_replaced(self):
        sql = ("-- a comment\n\nUPDATE `T` SET `A` = 2 + @BITS@\n  WHERE `N` = '@NAME@';\n"
               "INSERT INTO `T` VALUES ('@NAME@');\n")
        self.assertEqual(author_msi.sql_statements(sql, {"BITS": 16, "NAME": "Svc"}),
                         ["UPDATE `T` SET `A` = 18 WHERE `N` = 'Svc'",
                          "INSERT INTO `T` VALUES ('Svc')"])
        for bad, says in [("UPDATE `T` SET `A` = @NONE@;", "unknown word @NONE@"),
                          ("UPDATE `T`", "statement without ';'")]:
            with self.assertRaisesRegex(author_msi.AuthoringError, says):
                author_msi.sql_statements(bad, {})

    def test_fragment_puts_conf_into_defaults_and_leaves_the_zip_only_files_out(self):
        with tempfile.TemporaryDirectory() as stage:
            for path in ["MerivastService.exe", "install.cmd", "README.md", "lib/R&D.jar",
                         "lib/a.jar", "conf/jvm.options", "conf/ssl/keys.jks", "NOTICE.txt"]:
                write(os.path.join(stage, path))
            xml, conf = author_msi.payload_fragment(stage, "x64", "Svc")
        self.assertEqual(conf, ["jvm.options", "ssl/keys.jks"])
        for text in ['Name="R&amp;D.jar" Source="$(var.SourceDir)/lib/R&amp;D.jar"',
                     'Name="defaults">', 'Name="keys.jks"',
                     'Source="$(var.SourceDir)/conf/ssl/keys.jks"', 'Win64="yes"',
                     author_msi.guid_of("x64", "Svc", "file defaults/ssl/keys.jks")]:
            self.assertIn(text, xml)
        for text in ["install.cmd", "README.md", "MerivastService.exe"]:
            self.assertNotIn(text, xml)
        self.assertEqual(xml.count("<Component "), 5)
        self.assertEqual(xml.count("<ComponentRef "), 5)
        self.assertRegex(xml, r'<ComponentGroup Id="Defaults">(<ComponentRef Id="c\d+"/>){2}<')


class CheckAppTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.app = self.work.name

    def tearDown(self):
        self.work.cleanup()

    def refused(self, says, check, *args):
        with self.assertRaises(check_app.Refusal) as refusal:
            check(*args)
        self.assertIn(says, str(refusal.exception))

    def test_tree_refuses_what_windows_or_the_package_cannot_hold(self):
        cases = [("lib/caf\u00e9.jar", "outside printable ASCII"),
                 ("lib/a:b.jar", "Windows cannot hold a name with"),
                 ("lib/x.jar.", "ends in a space or a period"),
                 ("lib/nul.jar", "nul is a device name"),
                 ("lib/$(x).jar", 'wixl would read "$("'),
                 ("logs/x", "the service's own folder"),
                 ("Defaults/x", "the package's own folder"),
                 ("README.md", "the package brings its own README.md")]
        for path, says in cases:
            with tempfile.TemporaryDirectory() as app:
                write(os.path.join(app, path))
                self.refused(says, check_app.check_tree, app, [])
                # What --exclude names at the top, in any letter case, is not looked at.
                check_app.check_tree(app, [path.split("/")[0].upper()])
        write(os.path.join(self.app, "lib", "a.jar"))
        write(os.path.join(self.app, "lib", "A.JAR"))
        self.refused("two names differ only in letter case", check_app.check_tree, self.app, [])
        self.refused('--exclude "x": ', check_app.check_tree, self.app, ["x"])

    def test_links_are_followed_unless_they_point_nowhere_or_loop(self):
        write(os.path.join(self.app, "real", "x.jar"))
        os.makedirs(os.path.join(self.app, "lib"))
        os.symlink("../real/x.jar", os.path.join(self.app, "lib", "linked.jar"))
        check_app.check_tree(self.app, [])
        cases = [("nowhere.jar", "missing.jar", "a link to missing.jar, which does not exist"),
                 ("loop.jar", "loop.jar", "a link in a loop of links"),
                 ("up", "..", "a link to a folder that holds it")]
        for name, target, says in cases:
            link = os.path.join(self.app, "lib", name)
            os.symlink(target, link)
            self.refused(f"{link}: {says}", check_app.check_tree, self.app, [])
            os.remove(link)

    def test_main_class_and_main_jar(self):
        lib = os.path.join(self.app, "lib")
        jar(os.path.join(lib, "a.jar"), ["org/example/App$Main.class"])
        jar(os.path.join(lib, "dep.jar"), ["org/example/Dep.class"])
        jar(os.path.join(lib, "boot.jar"), [], "Manifest-Version: 1.0\r\nMain-Class: org.exam\r\n"
            " ple.Dep\r\nClass-Path: dep.jar\r\n\r\nName: x\r\nMain-Class: other\r\n")
        jar(os.path.join(lib, "plain.jar"), ["x.class"], "Manifest-Version: 1.0\n")
        write(os.path.join(lib, "empty.jar"), b"")
        check_app.check_class("org.example.App$Main", [os.path.join(lib, "a.jar")])
        check_app.check_jar(os.path.join(lib, "boot.jar"))
        self.refused("main.class org.example.Nope is in none of the jars of " + lib + " (a.jar)",
                     check_app.check_class, "org.example.Nope", [os.path.join(lib, "a.jar")])
        self.refused("empty.jar is not a jar (no zip archive in it)", check_app.check_class,
                     "x", [os.path.join(lib, "empty.jar")])
        self.refused("has no Main-Class in its manifest", check_app.check_jar,
                     os.path.join(lib, "plain.jar"))
        jar(os.path.join(lib, "other.jar"), [], "Main-Class: org.example.App$Main\nClass-Path: dep.jar\n")
        self.refused("its Main-Class org.example.App$Main is in neither the jar nor the jars its "
                     "Class-Path names", check_app.check_jar, os.path.join(lib, "other.jar"))


if __name__ == "__main__":
    unittest.main()
