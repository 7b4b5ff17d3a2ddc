#!/usr/bin/env python3
"""The bill of materials (CycloneDX 1.6, JSON) and the third-party licence notices of one
package, from what its build used: the libraries its binaries name (readelf -d, the PE
import table), the archives and start files the linker pulled in (its map files), the
header-only libraries compiled in, and the Debian source packages built for the target.
Each file is traced to the Debian package that installed it (dpkg), whose version,
source, home page and copyright file give the component's fields; the notices are those
copyright files. One component list makes both documents.

  sbom.py --name NAME --version V --description TEXT --supplier "Name <address>"
          [--binary FILE]... [--map FILE]... [--header FILE]...
          [--source-package ARCHIVE=DIR]... --epoch SECONDS
          --bom OUT.cdx.json --notices OUT.txt
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import urllib.parse
import uuid

DEBIAN = {"name": "Debian", "url": ["https://www.debian.org/"]}
MICROSOFT = {"name": "Microsoft Corporation", "url": ["https://www.microsoft.com/"]}
# A name in the bill's own namespace: how the binaries take in a component's files.
LINKED_AS = "zvpa:linked-as"

# Debian's short licence names (copyright format 1.0) as SPDX identifiers.
SPDX_OF_DEBIAN = {
    "expat": "MIT",
    "mit": "MIT",
    "curl": "curl",
    "apache-2.0": "Apache-2.0",
    "libpng": "libpng-2.0",
    "bsd-2-clause": "BSD-2-Clause",
    "bsd-3-clause": "BSD-3-Clause",
    "zpl-2.1": "ZPL-2.1",
    "zlib": "Zlib",
    "isc": "ISC",
    "gpl-2+": "GPL-2.0-or-later",
    "gpl-3+": "GPL-3.0-or-later",
    "lgpl-2+": "LGPL-2.0-or-later",
    "lgpl-2.1+": "LGPL-2.1-or-later",
    "lgpl-2.1": "LGPL-2.1-only",
    "mpl-1.1": "MPL-1.1",
    "public-domain": None,
}
# Source packages whose copyright file is not in Debian's machine-readable format: their
# licence as the file states it in prose.
PROSE_LICENCES = {
    "glibc": "LGPL-2.1-or-later",
    "gcc-12": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "gcc-mingw-w64": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "cairo": "LGPL-2.1-only OR MPL-1.1",
}
# Where one Debian package holds parts under different licences, the part an archive
# comes from, as the copyright file's Files: patterns name it.
PART_OF_ARCHIVE = {
    "libwinpthread.a": ("winpthreads", "mingw-w64-libraries/winpthreads/*"),
    "libpthread.a": ("winpthreads", "mingw-w64-libraries/winpthreads/*"),
}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def elf_needed(path):
    return re.findall(r"\(NEEDED\).*\[(.*)\]", run("readelf", "-d", path))


def pe_imports(path):
    objdump = os.environ.get("ZV_OBJDUMP", "objdump")
    return re.findall(r"DLL Name: (\S+)", run(objdump, "-p", path))


def is_pe(path):
    with open(path, "rb") as f:
        return f.read(2) == b"MZ"


def library_paths():
    """soname -> file, as the dynamic linker finds it (ldconfig's cache)."""
    paths = {}
    for line in run("ldconfig", "-p").splitlines():
        match = re.match(r"\s+(\S+) \((.*)\) => (\S+)", line)
        if match and "x86-64" in match.group(2):
            paths.setdefault(match.group(1), match.group(3))
    return paths


def map_inputs(path):
    """The archives whose members the linker took, and the object files it loaded."""
    text = open(path, encoding="utf-8", errors="replace").read()
    archives = set(re.findall(r"^(/\S+\.a)\(", text, re.M))
    archives |= set(re.findall(r"^(\S+\.a)\(", text, re.M))
    objects = set(re.findall(r"^LOAD (/\S+\.o)$", text, re.M))
    return archives, objects


def owner_packages(files):
    """file -> Debian binary package (with its architecture), trying the paths that a
    merged /usr gives one file."""
    owners = {}
    for file in files:
        real = os.path.realpath(file)
        candidates = [file, real]
        for candidate in list(candidates):
            if candidate.startswith("/usr/"):
                candidates.append(candidate[4:])
            else:
                candidates.append("/usr" + candidate)
        for candidate in candidates:
            result = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
            if result.returncode == 0:
                owners[file] = result.stdout.split(": ", 1)[0].split(", ")[0]
                break
        else:
            sys.exit(f"sbom: no Debian package installed {file}")
    return owners


def debian_package(name):
    fields = run("dpkg-query", "-W", "-f",
                 "${Package}\t${Version}\t${source:Package}\t${source:Version}\t${Homepage}\t${Architecture}", name)
    package, version, source, source_version, homepage, arch = fields.split("\t")
    return {"package": package, "version": version, "source": source, "source_version": source_version,
            "homepage": homepage, "arch": arch, "copyright": f"/usr/share/doc/{package}/copyright"}


def source_package(directory):
    """An unpacked Debian source package: its name and version from debian/changelog."""
    first = open(os.path.join(directory, "debian", "changelog"), encoding="utf-8").readline()
    match = re.match(r"(\S+) \(([^)]+)\)", first)
    homepage = ""
    control = open(os.path.join(directory, "debian", "control"), encoding="utf-8").read()
    found = re.search(r"^Homepage: (\S+)", control, re.M)
    if found:
        homepage = found.group(1)
    return {"package": match.group(1), "version": match.group(2), "source": match.group(1),
            "source_version": match.group(2), "homepage": homepage, "arch": "source",
            "copyright": os.path.join(directory, "debian", "copyright")}


def dep5_stanzas(text):
    """The paragraphs of a machine-readable copyright file, as dictionaries."""
    stanzas = []
    for block in re.split(r"\n\s*\n", text):
        fields, key = {}, None
        for line in block.splitlines():
            if line.startswith((" ", "\t")) and key:
                fields[key] += "\n" + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                fields[key] = value.strip()
        stanzas.append(fields)
    return stanzas


def licence_of(component, pattern="*"):
    """The licence of the copyright file's stanza for the pattern ('*' is the package as
    a whole): ("spdx", an SPDX expression) or ("name", Debian's name, where SPDX has none),
    or None."""
    text = open(component["copyright"], encoding="utf-8", errors="replace").read()
    prose = PROSE_LICENCES.get(component["source"])
    if not text.startswith("Format:"):
        return ("spdx", prose) if prose else None
    for stanza in dep5_stanzas(text):
        if pattern not in stanza.get("Files", "").split() or "License" not in stanza:
            continue
        name = stanza["License"].splitlines()[0].strip()
        spdx = []
        for word in re.split(r"\s+(and|or)\s+", name, flags=re.I):
            if word.lower() in ("and", "or"):
                spdx.append(word.upper())
            elif SPDX_OF_DEBIAN.get(word.lower()):
                spdx.append(SPDX_OF_DEBIAN[word.lower()])
            else:
                return ("name", name)
        return ("spdx", " ".join(spdx))
    return ("spdx", prose) if prose else None


def licence_field(licence):
    if not licence:
        return []
    kind, text = licence
    if kind == "name":
        return [{"license": {"name": text}}]
    if re.search(r" (AND|OR|WITH) ", text):
        return [{"expression": text}]
    return [{"license": {"id": text}}]


def purl(component):
    """The package URL of a Debian package (its version percent-encoded: '+', ':')."""
    version = urllib.parse.quote(component["version"], safe="")
    return f"pkg:deb/debian/{component['package'].split(':')[0]}@{version}?arch={component['arch']}"


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--description", required=True)
    parser.add_argument("--supplier", required=True)
    parser.add_argument("--binary", action="append", default=[])
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("--header", action="append", default=[])
    parser.add_argument("--source-package", action="append", default=[])
    parser.add_argument("--own", action="append", default=[], help="a library name that is the product's own")
    parser.add_argument("--epoch", type=int, required=True)
    parser.add_argument("--bom", required=True)
    parser.add_argument("--notices", required=True)
    return parser.parse_args()


def files_used(args):
    """What the binaries take in: file -> how (a library name, an archive, a start file);
    the system DLLs they import; the archives built from Debian source packages here."""
    built_from_source = dict(item.split("=", 1) for item in args.source_package)
    own = {name.lower() for name in args.own} | {os.path.basename(b).lower() for b in args.binary}
    used, windows_dlls, source_archives = {}, set(), {}
    sonames = library_paths()
    for binary in args.binary:
        if is_pe(binary):
            windows_dlls |= {dll for dll in pe_imports(binary) if dll.lower() not in own}
            continue
        for soname in elf_needed(binary):
            if soname.lower() in own:
                continue
            if soname not in sonames:
                sys.exit(f"sbom: {binary} needs {soname}, which ldconfig does not know")
            used.setdefault(sonames[soname], set()).add(soname)
    for linker_map in args.map:
        archives, objects = map_inputs(linker_map)
        for archive in archives:
            name = os.path.basename(archive)
            if name in built_from_source:
                source_archives[name] = built_from_source[name]
            elif os.path.isabs(archive) and not archive.startswith(os.path.dirname(os.path.abspath(linker_map))):
                used.setdefault(archive, set()).add(name)
        for start_file in objects:
            used.setdefault(start_file, set()).add(os.path.basename(start_file))
    for header in args.header:
        used.setdefault(header, set()).add("compiled in: " + os.path.basename(header))
    return used, windows_dlls, source_archives


def components_of(used, source_archives):
    """The Debian packages the files came from (a package holding parts under other
    licences gives each such part a component of its own) and the source packages built
    here, each with the files taken from it."""
    components = {}

    def component_for(key, record, pattern="*", part=None):
        if key not in components:
            components[key] = dict(record, part=part, pattern=pattern, licence=licence_of(record, pattern),
                                   linked=set())
        return components[key]

    for file, package in owner_packages(sorted(used)).items():
        record = debian_package(package)
        part, pattern = PART_OF_ARCHIVE.get(os.path.basename(file), (None, "*"))
        key = package + "/" + part if part else package
        component_for(key, record, pattern, part)["linked"] |= used[file]
    for archive, directory in sorted(source_archives.items()):
        record = source_package(directory)
        component_for("source:" + record["package"], record)["linked"].add(archive)
    return components


def bom_component(c):
    entry = {
        "type": "library",
        "bom-ref": purl(c) + (f"#{c['part']}" if c["part"] else ""),
        "supplier": DEBIAN,
        "name": c["package"].split(":")[0] + (f" ({c['part']})" if c["part"] else ""),
        "version": c["version"],
        "description": f"Debian {'source' if c['arch'] == 'source' else 'binary'} package "
                       f"{c['package']} of source {c['source']} {c['source_version']}",
        "licenses": licence_field(c["licence"]),
        "purl": purl(c),
        "properties": [{"name": LINKED_AS, "value": value} for value in sorted(c["linked"])],
    }
    if c["homepage"]:
        entry["externalReferences"] = [{"type": "website", "url": c["homepage"]}]
    if not entry["licenses"]:
        del entry["licenses"]
    return entry


def windows_component(dll):
    return {
        "type": "library",
        "bom-ref": "windows:" + dll.lower(),
        "supplier": MICROSOFT,
        "name": dll,
        "description": "Part of Microsoft Windows, imported at run time; not shipped",
        "scope": "required",
        "properties": [{"name": LINKED_AS, "value": dll}],
    }


def bom_document(args, components, windows_dlls):
    listed = [bom_component(components[key]) for key in sorted(components)]
    listed += [windows_component(dll) for dll in sorted(windows_dlls, key=str.lower)]
    supplier_name, _, supplier_address = args.supplier.partition(" <")
    supplier = {"name": supplier_name}
    if supplier_address:
        supplier["contact"] = [{"email": supplier_address.rstrip(">")}]
    product_ref = f"{args.name}@{args.version}"
    bom = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "version": 1,
        "metadata": {
            "timestamp": datetime.datetime.fromtimestamp(args.epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "component": {
                "type": "library",
                "bom-ref": product_ref,
                "supplier": supplier,
                "name": args.name,
                "version": args.version,
                "description": args.description,
                "licenses": [{"license": {"name": "proprietary"}}],
            },
        },
        "components": listed,
        "dependencies": [{"ref": product_ref, "dependsOn": [c["bom-ref"] for c in listed]}]
        + [{"ref": c["bom-ref"]} for c in listed],
    }
    # The same inputs give the same serial number: two builds give the same bytes.
    digest = hashlib.sha256(json.dumps(bom, sort_keys=True).encode()).hexdigest()
    return {"bomFormat": bom["bomFormat"], "specVersion": bom["specVersion"],
            "serialNumber": "urn:uuid:" + str(uuid.UUID(digest[:32], version=5)), **bom}


def main():
    args = parse_arguments()
    used, windows_dlls, source_archives = files_used(args)
    components = components_of(used, source_archives)
    with open(args.bom, "w", encoding="utf-8") as out:
        json.dump(bom_document(args, components, windows_dlls), out, indent=2, ensure_ascii=False)
        out.write("\n")
    write_notices(args, components)


def write_notices(args, components):
    """Each component's copyright file as Debian ships it (once for the components that
    share one text), and once each common licence text that those files name (a Windows
    machine has no /usr/share/common-licenses)."""
    lines = [f"Third-party software in {args.name} {args.version}", "",
             "The components below are part of, or linked by, this package. Each notice is",
             "the copyright file of the Debian package the component was built from.", ""]
    by_text = {}
    for key in sorted(components):
        c = components[key]
        text = open(c["copyright"], encoding="utf-8", errors="replace").read().rstrip()
        label = f"{c['package'].split(':')[0]}{' (' + c['part'] + ')' if c['part'] else ''} {c['version']}"
        if c["licence"]:
            label += f", licence {c['licence'][1]}"
        by_text.setdefault(text, []).append(label)
    common = set()
    for text, labels in by_text.items():
        common |= set(re.findall(r"/usr/share/common-licenses/([A-Za-z0-9.+-]*[A-Za-z0-9+])", text))
        lines += ["=" * 78] + labels + ["=" * 78, "", text, ""]
    for name in sorted(common):
        path = "/usr/share/common-licenses/" + name
        if os.path.isfile(path):
            lines += ["=" * 78, f"The text of {path}", "=" * 78, "",
                      open(path, encoding="utf-8", errors="replace").read().rstrip(), ""]
    with open(args.notices, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
