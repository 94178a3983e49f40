"""Writes a folder as a zip file that depends on nothing but the files' bytes:
entries in name order, each dated SOURCE_DATE_EPOCH (at least 1980-01-01, where
zip dates begin), mode 0755 for files with an execute bit and 0644 for the
rest, no extra fields, deflated at level 9.

usage: zip_tree.py OUT.zip PARENT FOLDER   (entries are named FOLDER/...)
"""
import os
import stat
import sys
import time
import zipfile

out, parent, folder = sys.argv[1:4]
stamp = max(int(os.environ.get("SOURCE_DATE_EPOCH", "0")), 315532800)
date_time = time.gmtime(stamp)[:6]
names = []
for directory, _, files in os.walk(os.path.join(parent, folder)):
    names += [os.path.relpath(os.path.join(directory, f), parent) for f in files]
with zipfile.ZipFile(out, "w") as archive:
    for name in sorted(names):
        path = os.path.join(parent, name)
        info = zipfile.ZipInfo(name.replace(os.sep, "/"), date_time)
        info.create_system = 3  # Unix, so the modes below are read back
        executable = os.stat(path).st_mode & 0o111
        info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(path, "rb") as f:
            archive.writestr(info, f.read(), compresslevel=9)
