#!/usr/bin/env python3
"""Builds the Windows Installer package of one architecture of an application
run by MerivastService, from the tree its zip holds (scripts/package makes it):

    author_msi.py --stage <folder> --actions <MerivastInstallActions.dll>
                  --arch x86|x64 --name <service> --display-name <text>
                  --description <text> --manufacturer <text> --version <x.y.z>
                  --service-sid <SID> --at '<YYYY-MM-DD HH:MM:SS>' --out <msi>

Everything in the tree goes into the package but what the zip alone carries
(install.cmd, uninstall.cmd, README.md), the executable (MerivastService.wxs
has it) and the custom actions' DLL (the package's Binary table): conf/'s
files as defaults\\, the rest as it is. wixl (msitools) builds the package
from MerivastService.wxs and the components made here, msibuild adds the rows
of msi-tables.sql and the package code.

The same inputs give the same package, byte for byte: every date in it is
--at (wixl runs under faketime), the upgrade code and component GUIDs are
digests of the service's name and the architecture (so they stay across the
versions of one application and differ between applications), and the
product and package codes a digest of everything the package is made of.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
# What the zip carries that the package does not, or not as a payload file.
NOT_PAYLOAD = {"MerivastService.exe", "MerivastInstallActions.dll", "install.cmd",
               "uninstall.cmd", "README.md", "conf"}
# The properties an elevated install must pass to its server side.
SECURE = ["SERVICEACCOUNT", "SERVICEPASSWORD", "SERVICEDEPENDENCIES", "INSTALLDIR"]


class AuthoringError(Exception):
    pass


def uuid_of(text):
    """A GUID made from the text's SHA-256 (version 5 and variant bits set), in
    upper case as Windows Installer writes them."""
    h = hashlib.sha256(text.encode()).hexdigest()
    variant = (int(h[16], 16) & 3) | 8
    return f"{h[0:8]}-{h[8:12]}-5{h[13:16]}-{variant:x}{h[17:20]}-{h[20:32]}".upper()


def guid_of(arch, name, what):
    """One of the application's GUIDs. Service names compare without case, and
    so do these."""
    return uuid_of(f"MerivastService {arch} {name.upper()} {what}")


def formatted(text):
    """The text as Windows Installer's formatted columns write it: a bracket or
    brace stands for itself only escaped."""
    return re.sub(r"([\[\]{}])", r"[\\\1]", text)


def sql_statements(text, words):
    """msi-tables.sql's statements, one a query, with each @WORD@ replaced and
    "<number> + @WORD@" added up (msibuild's SQL has no arithmetic)."""
    statements, statement = [], ""
    for line in text.splitlines():
        if re.match(r"\s*(--|$)", line):
            continue
        statement += (" " if statement else "") + line.strip()
        if statement.endswith(";"):
            statements.append(substitute(statement[:-1], words))
            statement = ""
    if statement:
        raise AuthoringError(f"msi-tables.sql: statement without ';': {statement}")
    return statements


def substitute(statement, words):
    def word(name):
        if name not in words:
            raise AuthoringError(f"msi-tables.sql: unknown word @{name}@")
        return words[name]

    statement = re.sub(r"(\d+) \+ @(\w+)@", lambda m: str(int(m[1]) + int(word(m[2]))),
                       statement)
    return re.sub(r"@(\w+)@", lambda m: str(word(m[1])), statement)


def tree_files(top):
    """The files below `top`, relative to it with '/', in name order."""
    found = []
    for folder, dirs, files in os.walk(top):
        dirs.sort()
        found += [os.path.relpath(os.path.join(folder, f), top).replace(os.sep, "/")
                  for f in files]
    return sorted(found)


class Fragment:
    """payload.wxs: each file a component of its own below INSTALLDIR, in the
    component groups Payload and Defaults."""

    def __init__(self, arch, name):
        self.arch, self.name = arch, name
        self.win64 = "yes" if arch == "x64" else "no"
        self.root = {}  # folder name -> its tree; a file name -> its source
        self.groups = {"Payload": [], "Defaults": []}
        self.count = 0

    def add(self, group, target, source):
        """The file `source` (relative to the tree) at `target` below INSTALLDIR."""
        node = self.root
        *folders, leaf = target.split("/")
        for folder in folders:
            node = node.setdefault(folder + "/", {})
        node[leaf] = (group, target, source)

    def xml(self):
        lines = ['<?xml version="1.0" encoding="utf-8"?>',
                 '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>',
                 '<DirectoryRef Id="INSTALLDIR">']
        self._emit(self.root, lines)
        lines.append("</DirectoryRef>")
        for group, ids in self.groups.items():
            refs = "".join(f'<ComponentRef Id="{i}"/>' for i in ids)
            lines.append(f'<ComponentGroup Id="{group}">{refs}</ComponentGroup>')
        lines.append("</Fragment></Wix>")
        return "\n".join(lines) + "\n"

    def _emit(self, node, lines):
        for key in sorted(node):
            self.count += 1
            n = self.count
            if key.endswith("/"):
                lines.append(f'<Directory Id="d{n}" Name={quoteattr(key[:-1])}>')
                self._emit(node[key], lines)
                lines.append("</Directory>")
                continue
            group, target, source = node[key]
            self.groups[group].append(f"c{n}")
            guid = guid_of(self.arch, self.name, f"file {target}")
            lines.append(f'<Component Id="c{n}" Guid="{guid}" Win64="{self.win64}">'
                         f'<File Id="f{n}" Name={quoteattr(key)} '
                         f'Source={quoteattr("$(var.SourceDir)/" + source)} KeyPath="yes"/>'
                         "</Component>")


def payload_fragment(stage, arch, name):
    """The fragment of the tree, and conf/'s files relative to conf/."""
    fragment = Fragment(arch, name)
    for path in tree_files(stage):
        top = path.split("/")[0]
        if path.startswith("conf/"):
            fragment.add("Defaults", "defaults/" + path[5:], path)
        elif top not in NOT_PAYLOAD:
            fragment.add("Payload", path, path)
    conf = [p[5:] for p in tree_files(stage) if p.startswith("conf/")]
    return fragment.xml(), conf


def identity(args, conf):
    """wixl's variables that name the application, its GUIDs and its files."""
    other = "x86" if args.arch == "x64" else "x64"
    values = {"Arch": args.arch, "Win64": "yes" if args.arch == "x64" else "no",
              "ServiceName": args.name, "DisplayName": args.display_name,
              "Description": args.description, "Manufacturer": args.manufacturer,
              "Version": args.version,
              "UpgradeCode": guid_of(args.arch, args.name, "upgrade code"),
              "OtherUpgradeCode": guid_of(other, args.name, "upgrade code"),
              "ConfFiles": formatted("|".join(f.replace("/", "\\") for f in conf))}
    for component in ("ServiceExe", "ServiceRegistration", "LogsDir"):
        values[component + "Guid"] = guid_of(args.arch, args.name, f"component {component}")
    return values


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def package_digest(args, values, fragment, statements):
    """A digest of everything the package is made of."""
    h = hashlib.sha256()
    with open(os.path.join(HERE, "MerivastService.wxs"), "rb") as f:
        wxs = f.read()
    for part in [args.arch, *(f"{k}={v}" for k, v in sorted(values.items())), fragment,
                 *statements, file_digest(args.actions)]:
        h.update(part.encode() + b"\n")
    h.update(wxs)
    for path in tree_files(args.stage):
        h.update(f"{file_digest(os.path.join(args.stage, path))}  {path}\n".encode())
    return h.hexdigest()


def run(command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **options)
    if done.returncode != 0:
        tail = "\n".join((done.stdout + done.stderr).strip().splitlines()[-5:])
        raise AuthoringError(f"{os.path.basename(command[0])} failed: {tail}")
    return done.stdout


def msi_property(msi, name):
    for line in run(["msiinfo", "export", msi, "Property"]).splitlines()[3:]:
        key, _, value = line.rstrip("\r").partition("\t")
        if key == name:
            return value
    return None


def build(args):
    fragment, conf = payload_fragment(args.stage, args.arch, args.name)
    words = {"SERVICE_NAME": args.name, "SERVICE_SID": args.service_sid,
             "LOCATOR_64BIT": 16 if args.arch == "x64" else 0}
    with open(os.path.join(HERE, "msi-tables.sql")) as f:
        statements = sql_statements(f.read(), words)
    values = identity(args, conf)
    digest = package_digest(args, values, fragment, statements)
    values["ProductCode"] = uuid_of(f"ProductCode {digest}")
    values["SourceDir"] = "."
    # wixl takes sources relative to its working directory only.
    values["InstallActions"] = os.path.relpath(args.actions, args.stage)
    with tempfile.TemporaryDirectory() as work:
        payload, msi = os.path.join(work, "payload.wxs"), os.path.join(work, "package.msi")
        with open(payload, "w") as f:
            f.write(fragment)
        defines = [a for k, v in values.items() for a in ("-D", f"{k}={v}")]
        run(["faketime", "-f", args.at, "wixl", "--arch", args.arch, *defines, "-o", msi,
             os.path.join(HERE, "MerivastService.wxs"), payload], cwd=args.stage)
        run(["msibuild", msi, *(q for s in statements for q in ("-q", s))])
        secure = msi_property(msi, "SecureCustomProperties")
        value = ";".join(([secure] if secure else []) + SECURE)
        run(["msibuild", msi, "-q",
             f"UPDATE `Property` SET `Value` = '{value}' WHERE `Property` = 'SecureCustomProperties'"
             if secure else "INSERT INTO `Property` (`Property`, `Value`) VALUES "
                            f"('SecureCustomProperties', '{value}')"])
        # msibuild sets the package code with the summary's subject, author and
        # template, which it sets anew.
        summary = dict(line.split(": ", 1) for line in run(["msiinfo", "suminfo", msi]).splitlines()
                       if ": " in line)
        run(["msibuild", msi, "-s", summary.get("Subject", ""), summary.get("Author", ""),
             summary.get("Template", ""), "{" + uuid_of(f"PackageCode {digest}") + "}"])
        shutil.move(msi, args.out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("stage", "actions", "name", "display-name", "description", "manufacturer",
                   "version", "service-sid", "at", "out"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--arch", required=True, choices=("x86", "x64"))
    try:
        build(parser.parse_args(argv))
    except AuthoringError as error:
        print(f"author_msi: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
