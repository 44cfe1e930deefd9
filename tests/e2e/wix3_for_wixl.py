#!/usr/bin/env python3
"""Turns the program's WiX source (the schema of WiX 4 and later, one Fragment) into a WiX 3
product that Debian's wixl (0.101) builds into the package WiX 4 would make of it.

    wix3_for_wixl.py captured.wxs product.wxs
    cd <folder with the files> && wixl -a x64 -o captured.msi product.wxs

Besides the namespace, Bitness (Win64) and the Product around the Fragment, it works around what
wixl lacks, so that the package's Registry table holds what WiX 4 writes there:
- no Component/@Directory: each Component goes into a DirectoryRef, the group keeps ComponentRefs;
- File/@Source relative only: the file's name, wixl run from the folder that holds the files;
- "expandable" and "binary" written as strings: as "integer", whose value wixl writes after a
  '#', so that "%…" and "x…" give the table's "#%…" and "#x…";
- no MultiStringValue: the strings joined as the table joins them, "[~]a[~]b[~]";
- a RegistryValue keeps its KeyPath, that of the component of a user's values;
- no binder variables: "!!(loc.…)" and the like written as the "!(loc.…)" WiX 4 binds them to
  (wixl knows no escape for the preprocessor's "$(": a source holding "$$(" does not build);
- RegistryKey dropped: a key that holds nothing is the table's row named "*" (made and taken out
  with the component) or "+" (only made), with no value.
"""
import ntpath
import re
import sys
import xml.etree.ElementTree as ET

WIX4 = "http://wixtoolset.org/schemas/v4/wxs"
WIX3 = "http://schemas.microsoft.com/wix/2006/wi"


def wix3(tag, **attributes):
    return ET.Element("{%s}%s" % (WIX3, tag), {k: v for k, v in attributes.items() if v is not None})


def bound(text):
    """`text` as WiX 4's binder leaves it: an escaped binder variable unescaped."""
    return None if text is None else re.sub(r"!!\((loc|wix|bind|bindpath)\.", r"!(\1.", text)


def registry_value(element):
    """The WiX 3 RegistryValue for a WiX 4 RegistryValue or RegistryKey."""
    a = {name: bound(value) for name, value in element.attrib.items()}
    place = {"Root": a["Root"], "Key": a["Key"]}
    if element.tag == "{%s}RegistryKey" % WIX4:
        made_only = a.get("ForceDeleteOnUninstall") != "yes"
        return wix3("RegistryValue", **place, Name="+" if made_only else "*", Type="string", Value="")
    kind, value = a["Type"], a.get("Value")
    if kind == "expandable":
        kind, value = "integer", "%" + value
    elif kind == "binary":
        kind, value = "integer", "x" + value
    elif kind == "multiString":
        strings = [bound(item.get("Value")) for item in element]
        kind, value = "string", "[~]" + "[~]".join(strings) + "[~]"
    return wix3("RegistryValue", **place, Name=a.get("Name"), Type=kind, Value=value,
                KeyPath=a.get("KeyPath"))


def convert(source):
    fragment = source.find("{%s}Fragment" % WIX4)
    group = fragment.find("{%s}ComponentGroup" % WIX4)
    wix = wix3("Wix")
    product = ET.SubElement(wix, "{%s}Product" % WIX3, Id="*", Name="Captured components",
                            Language="1033", Version="1.0.0", Manufacturer="Kalvenor",
                            UpgradeCode="{5F0E6C52-3B6B-4C39-9C53-6F1D0D3A8E21}")
    product.append(wix3("Package", InstallerVersion="500", Compressed="yes",
                        InstallScope="perMachine"))
    product.append(wix3("Media", Id="1", Cabinet="files.cab", EmbedCab="yes"))
    target = ET.SubElement(product, "{%s}Directory" % WIX3, Id="TARGETDIR", Name="SourceDir")
    feature = ET.SubElement(product, "{%s}Feature" % WIX3, Id="Captured", Level="1")
    feature.append(wix3("ComponentGroupRef", Id=group.get("Id")))
    out_fragment = ET.SubElement(wix, "{%s}Fragment" % WIX3)
    folders = {}
    out_group = wix3("ComponentGroup", Id=group.get("Id"))
    for component in group:
        folder = component.get("Directory")
        if folder not in folders:
            target.append(wix3("Directory", Id=folder))
            folders[folder] = ET.SubElement(out_fragment, "{%s}DirectoryRef" % WIX3, Id=folder)
        bits64 = component.get("Bitness") == "always64"
        out = ET.SubElement(folders[folder], "{%s}Component" % WIX3, Id=component.get("Id"),
                            Guid=component.get("Guid"), Win64="yes" if bits64 else "no")
        for child in component:
            if child.tag == "{%s}File" % WIX4:
                out.append(wix3("File", Id=child.get("Id"), KeyPath="yes",
                                Source=ntpath.basename(child.get("Source"))))
            else:
                out.append(registry_value(child))
        out_group.append(wix3("ComponentRef", Id=component.get("Id")))
    out_fragment.append(out_group)
    return wix


def main():
    ET.register_namespace("", WIX3)
    tree = ET.ElementTree(convert(ET.parse(sys.argv[1]).getroot()))
    ET.indent(tree)
    tree.write(sys.argv[2], encoding="utf-8", xml_declaration=True)


if __name__ == "__main__":
    main()
