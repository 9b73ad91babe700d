#!/usr/bin/env python3
"""scripts/package's checks of an application's folder that need no Windows:

    check_app.py tree <folder> [<excluded name>...]
        every name in the folder one Windows and the MSI can hold, no link
        that points nowhere or into a loop, nothing the package brings itself
    check_app.py class <main class> <jar>...
        the class in one of the jars (each a zip archive)
    check_app.py jar <jar>
        the jar's manifest names a Main-Class, found in the jar or in a jar
        its Class-Path names

Exit code 0 when all is well; 1 with the first problem on standard output,
as scripts/package says it; 2 for a wrong command line. Links are followed:
the packages hold the files they point to.
"""
import errno
import os
import re
import sys
import zipfile

# Windows reserves these names, also before an extension ("Naming Files,
# Paths, and Namespaces").
DEVICE = re.compile(r"(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])$", re.IGNORECASE)
OWN = ["MerivastService.exe", "MerivastInstallActions.dll", "install.cmd", "uninstall.cmd",
       "README.md"]
FOLDERS = {"logs": "the service's own folder, which it makes at its first start",
           "defaults": "the package's own folder, where the MSI puts the defaults of conf\\"}


class Refusal(Exception):
    pass


def device_name(name):
    stem = name.split(".")[0]
    return stem if DEVICE.match(stem) else None


def name_problem(name):
    """Why Windows or the MSI's tables cannot hold the name; None when they can."""
    if re.search(r"[^ -~]", name):
        return "a name outside printable ASCII, which the MSI's tables cannot hold as it is: rename it"
    if re.search(r'[<>:"|?*\\]', name):
        return 'Windows cannot hold a name with < > : " | ? * or \\: rename it'
    if name.endswith((" ", ".")):
        return "Windows cannot hold a name that ends in a space or a period: rename it"
    if device_name(name):
        return f"{device_name(name)} is a device name Windows reserves, also before a '.': rename it"
    if "$(" in name:
        return 'wixl would read "$(" as a variable of its own: rename it'
    return None


def link_problem(path, ancestors):
    """Why the packages cannot take the file or folder a link at `path` names."""
    if os.path.islink(path) and not os.path.exists(path):
        try:
            os.stat(path)
        except OSError as error:
            if error.errno == errno.ELOOP:
                return "a link in a loop of links: point it at a file"
        return f"a link to {os.readlink(path)}, which does not exist: point it at a file"
    if os.path.isdir(path) and os.path.realpath(path) in ancestors:
        return "a link to a folder that holds it, which would never end: remove it"
    return None


def check_folder(folder, ancestors):
    names = sorted(os.listdir(folder))
    seen = {}
    for name in names:
        path = os.path.join(folder, name)
        problem = name_problem(name) or link_problem(path, ancestors)
        if problem:
            raise Refusal(f"{path}: {problem}")
        if name.lower() in seen:
            raise Refusal(f"{folder}: two names differ only in letter case ({seen[name.lower()]}, "
                          f"{name}), which Windows cannot hold in one folder")
        seen[name.lower()] = name
        if os.path.isdir(path):
            check_folder(path, ancestors | {os.path.realpath(path)})


def check_tree(app, excluded):
    tops = {name.lower(): name for name in os.listdir(app)}
    for name in excluded:
        if "/" in name or name.lower() not in tops:
            raise Refusal(f'--exclude "{name}": {app} holds no such file or folder '
                          "(name one at its top)")
    kept = {tops[k] for k in tops if k not in {e.lower() for e in excluded}}
    for name in sorted(kept):
        path = os.path.join(app, name)
        if name.lower() in FOLDERS:
            raise Refusal(f"{path}: {FOLDERS[name.lower()]}; remove it or leave it out with "
                          f"--exclude {name}")
        if name.lower() in (own.lower() for own in OWN):
            own = next(o for o in OWN if o.lower() == name.lower())
            raise Refusal(f"{path}: the package brings its own {own}; remove it or leave it out "
                          f"with --exclude {name}")
        problem = name_problem(name) or link_problem(path, {os.path.realpath(app)})
        if problem:
            raise Refusal(f"{path}: {problem}")
        if os.path.isdir(path):
            check_folder(path, {os.path.realpath(app), os.path.realpath(path)})


def entries(jar):
    try:
        with zipfile.ZipFile(jar) as archive:
            return archive.namelist()
    except (zipfile.BadZipFile, OSError):
        raise Refusal(f"{jar} is not a jar (no zip archive in it): the host puts every lib\\*.jar "
                      "on the class path") from None


def class_entry(name):
    """The entry the runtime looks for ("org.example.App$Main" is
    org/example/App$Main.class)."""
    return name.replace(".", "/") + ".class"


def check_class(main_class, jars):
    names = [entries(jar) for jar in jars]
    if not any(class_entry(main_class) in jar_names for jar_names in names):
        folder = os.path.dirname(jars[0]) if jars else "lib"
        listed = ", ".join(os.path.basename(jar) for jar in jars)
        raise Refusal(f"main.class {main_class} is in none of the jars of {folder} ({listed}): "
                      "check the class's name in conf/service.properties, or put its jar in lib/")


def manifest(jar):
    """The main section of the jar's manifest, its continuation lines joined."""
    if "META-INF/MANIFEST.MF" not in entries(jar):
        return {}
    with zipfile.ZipFile(jar) as archive:
        text = archive.read("META-INF/MANIFEST.MF").decode("utf-8", "replace")
    text = re.sub(r"\r?\n ", "", text.replace("\r\n", "\n"))
    section = text.split("\n\n")[0]
    return dict(line.split(": ", 1) for line in section.split("\n") if ": " in line)


def check_jar(jar):
    attributes = manifest(jar)
    main_class = attributes.get("Main-Class", "").strip()
    if not main_class:
        raise Refusal(f"main.jar {jar} has no Main-Class in its manifest: the runtime would "
                      'refuse it at the start ("no main manifest attribute")')
    folder = os.path.dirname(jar)
    path = [jar] + [os.path.join(folder, *part.split("/"))
                    for part in attributes.get("Class-Path", "").split()]
    if not any(os.path.isfile(p) and class_entry(main_class) in entries(p) for p in path):
        raise Refusal(f"main.jar {jar}: its Main-Class {main_class} is in neither the jar nor the "
                      "jars its Class-Path names")


def main(argv):
    commands = {"tree": lambda a: check_tree(a[0], a[1:]),
                "class": lambda a: check_class(a[0], a[1:]),
                "jar": lambda a: check_jar(a[0])}
    if len(argv) < 2 or argv[0] not in commands:
        print(__doc__.split("\n\n")[1])
        return 2
    try:
        commands[argv[0]](argv[1:])
    except Refusal as refusal:
        print(refusal)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
