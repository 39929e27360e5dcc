"""The shipped DLL exports exactly the two entry points, by plain name, and
imports nothing but Windows system libraries (no C or C++ runtime to install).

usage: check_dll_tables.py DLL   (check_packages.py runs it on the packaged DLL)"""

import re
import subprocess
import sys

EXPORTS = ["scs_telemetry_init", "scs_telemetry_shutdown"]
SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll", "winhttp.dll", "advapi32.dll", "ws2_32.dll",
                    "user32.dll", "ntdll.dll", "bcrypt.dll"}

dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", sys.argv[1]], check=True,
                      capture_output=True, text=True).stdout
imports = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})
names = dump.split("[Ordinal/Name Pointer] Table", 1)[1:]
exports = sorted(set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", names[0], re.M)) if names else [])
print(f"exports: {exports}\nimports: {imports}")
# kernel32.dll is always imported: without it the table was not read.
sys.exit(exports != EXPORTS or not set(imports) <= SYSTEM_LIBRARIES
         or "kernel32.dll" not in imports)
