"""The shipped DLL exports exactly the two entry points, by plain name, and
imports nothing but Windows system libraries (no C or C++ runtime to install)."""

import re
import subprocess
import sys

EXPECTED_EXPORTS = {"scs_telemetry_init", "scs_telemetry_shutdown"}
SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll", "winhttp.dll", "advapi32.dll", "ws2_32.dll",
                    "user32.dll", "ntdll.dll", "bcrypt.dll"}


def tables(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
    names = dump.split("[Ordinal/Name Pointer] Table", 1)
    exports = set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", names[1], re.M)) if len(names) > 1 else set()
    return exports, imports


def main():
    exports, imports = tables(sys.argv[1])
    failures = []
    if exports != EXPECTED_EXPORTS:
        failures.append(f"exports are {sorted(exports)}, expected {sorted(EXPECTED_EXPORTS)}")
    unexpected = imports - SYSTEM_LIBRARIES
    if unexpected:
        failures.append(f"imports non-system libraries: {sorted(unexpected)}")
    if "kernel32.dll" not in imports:
        failures.append(f"import table unreadable: {sorted(imports)}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"exports: {sorted(exports)}\nimports: {sorted(imports)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
