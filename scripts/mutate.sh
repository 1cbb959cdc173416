#!/usr/bin/env bash
# Breaks the production code on purpose, one way at a time, and runs the test suite against
# each break: a fault the suite does not notice is a gap in the tests. Works in a throwaway
# copy of the tree (built once, then incrementally per mutation); the tree itself is never
# touched.
#
# Usage: bash scripts/mutate.sh OUT.md [ID ...]
#   OUT.md  the Markdown table written as it grows (also printed at the end)
#   ID ...  only these mutations (default: all)
# Environment: VELDIX_MUTATE_DIR (throwaway copy, default /tmp/veldix-mutate.$UID).
#
# Every mutation is an exact text replacement that must match exactly once: when the code has
# moved, the script stops with the mutation that no longer applies instead of testing nothing.
# The tests of the mutated layer run first, then the rest of the suite (both --stop-on-failure);
# left out are only `deploy` (an install of the same binaries into a prefix) and the Windows
# leg (another build).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: mutate.sh OUT.md [ID ...]}
shift
work=${VELDIX_MUTATE_DIR:-/tmp/veldix-mutate.$UID}
export SRC="$src" WORK="$work" OUT="$out"

mkdir -p "$work"
rm -rf "$work/tree" && mkdir -p "$work/tree"
tar -C "$src" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$work/tree" -xf -
cmake -S "$work/tree" -B "$work/build" -DVELDIX_WERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j2 > "$work/build.log" 2>&1 || {
  tail -40 "$work/build.log"; echo "mutate: the unmutated tree does not build" >&2; exit 1; }

exec /usr/bin/python3 - "$@" <<'PY'
import os, re, subprocess, sys

# (id, layer, file, old, new, what it breaks)
M = [
 ("L1", "link", "link/frames.cpp", "if (lsb) crc ^= 0xA001;", "if (lsb) crc ^= 0xA011;",
  "CRC-16 polynomial"),
 ("L2", "link", "link/frames.cpp",
  "frame[2] = static_cast<unsigned char>(reg >> 8);\n  frame[3] = static_cast<unsigned char>(reg & 0xFFu);\n  frame[4] = 0;  // high",
  "frame[3] = static_cast<unsigned char>(reg >> 8);\n  frame[2] = static_cast<unsigned char>(reg & 0xFFu);\n  frame[4] = 0;  // high",
  "register address bytes of a read swapped"),
 ("L3", "link", "link/engine.cpp", "if ((fn & kExceptionBit) != 0) return 5;",
  "if ((fn & kExceptionBit) != 0) return 6;", "length of an exception answer"),
 ("L4", "link", "link/engine.cpp",
  "return kHeadBytes + static_cast<long long>(a[2]) + kCrcBytes;",
  "return kHeadBytes + static_cast<long long>(a[2]) + 1;", "answer length one byte short"),
 ("L5", "link", "link/engine.cpp", "if (request[0] != 0 && answer[0] != request[0]) return false;",
  "if (request[0] == 0 && answer[0] != request[0]) return false;", "answer of another slave taken"),
 ("L6", "link", "link/engine.cpp", "frame[2] = 0;  // protocol identifier: Modbus",
  "frame[2] = 1;  // protocol identifier: Modbus", "MBAP protocol identifier"),
 ("L7", "link", "link/engine.cpp", "constexpr int kModbusTcpService = 502;",
  "constexpr int kModbusTcpService = 503;", "port 502 no longer selects Modbus TCP"),
 ("L8", "link", "link/transport.cpp", "if (port < kFirstTcpPort) {", "if (port <= kFirstTcpPort) {",
  "port 99 opened as a serial port"),
 ("L9", "link", "link/transport.cpp", "OpenComConfig(port, \"\", speed, parity, dataBits,",
  "OpenComConfig(port, \"\", speed, dataBits, parity,", "parity and data bits swapped"),
 ("M1", "meter", "meter/codec.cpp", "return (byte >> 4) * 10 + (byte & 0x0F);",
  "return (byte >> 4) * 16 + (byte & 0x0F);", "BCD tens nibble read as hex"),
 ("M2", "meter", "meter/codec.cpp", "return ((v / 10) << 4) | (v % 10);",
  "return ((v / 10) << 3) | (v % 10);", "BCD tens nibble written one bit low"),
 ("M3", "meter", "meter/codec.cpp", "return static_cast<std::uint16_t>(data[2 * k] << 8 | data[2 * k + 1]);",
  "return static_cast<std::uint16_t>(data[2 * k + 1] << 8 | data[2 * k]);", "register bytes swapped"),
 ("M4", "meter", "meter/codec.cpp", "{{0, 1}, {2, 1}, {1, 1}, {0, 2}}", "{{0, 1}, {1, 1}, {2, 1}, {0, 2}}",
  "8E1 and 8O1 register pairs swapped"),
 ("M5", "meter", "meter/codec.cpp", "c.vtSecondary = reg(4119);", "c.vtSecondary = reg(4118);",
  "wrong register for the VT secondary"),
 ("M6", "meter", "meter/codec.h", "inline constexpr int kMeasureAStart = 1024;",
  "inline constexpr int kMeasureAStart = 1026;", "measurements read from the wrong address"),
 ("M7", "meter", "meter/config_file.cpp", "if (*v < range.lo || *v > range.hi)",
  "if (*v < range.lo && *v > range.hi)", "range check of a file field dropped"),
 ("M8", "meter", "meter/screen.cpp", "constexpr unsigned char kWriteMultiple = 16;",
  "constexpr unsigned char kWriteMultiple = 15;", "wrong write function code"),
 ("G1", "lang", "lang/ini.cpp", "if (value.size() >= 2 && value.front() == '\"' && value.back() == '\"') {",
  "if (value.size() >= 2 && value.front() == '\"') {", "unbalanced quote stripped"),
 ("G2", "lang", "lang/ini.cpp", "case 't': *out++ = '\\t'; break;", "case 't': *out++ = 't'; break;",
  "\\t escape not translated"),
 ("G3", "lang", "lang/catalogue.cpp", "n = n * 10 + (*p - '0');", "n = n * 10 + (*p - '1');",
  "stored language number misread"),
 ("G4", "lang", "lang/catalogue.cpp", "if (static_cast<std::size_t>(n) >= g_count) return \"\";",
  "if (static_cast<std::size_t>(n) > g_count) return \"\";", "catalogue bound off by one"),
 ("G5", "lang", "lang/change.cpp", "Cambiar_Idioma(2, \"Warning!!!\"", "Cambiar_Idioma(1, \"Warning!!!\"",
  "English menu entry stores Spanish"),
 ("G6", "lang", "lang/language.cpp", "\"File not found : %s\"", "\"File not found: %s\"",
  "popup text of a missing language file"),
 ("P1", "platform", "platform/registry_file.cpp", "if (v->type != Type::Sz) return -14;",
  "if (v->type != Type::Sz) return -13;", "registry result code of a non-string value"),
 ("P2", "platform", "platform/registry_file.cpp", "if (needed > size) return -2;",
  "if (needed > size + 1) return -2;", "registry read buffer bound off by one"),
 ("P3", "platform", "platform/ui_controls.cpp", "std::lround(value * 1000.0)",
  "std::lround(value * 100.0)", "timer interval in the wrong unit"),
 ("P4", "platform", "platform/rs232_qt.cpp", "constexpr int kLastPort = 98;",
  "constexpr int kLastPort = 99;", "serial port bound off by one"),
 ("P5", "platform", "platform/rs232_errors.cpp", "    \"read from %1 timed out\",",
  "    \"read from %1 time out\",", "error text of a time-out"),
 ("P6", "platform", "platform/tcp_posix.cpp",
  "if (ready == 0) return Fail(kRtErrTimeout, kTextTcpReadTimeout",
  "if (ready == 0) return Fail(kRtErrRead, kTextTcpReadTimeout", "wrong error code of a TCP read time-out"),
 ("S1", "sim", "sim/server.cpp", "((crc >> 1) ^ 0xA001)", "((crc >> 1) ^ 0xA003)",
  "simulator CRC polynomial"),
 ("S2", "sim", "sim/server.cpp", "a = {req[0], static_cast<uint8_t>(req[1] | 0x80), code};",
  "a = {req[0], static_cast<uint8_t>(req[1] | 0x40), code};", "exception bit of an RTU answer"),
 ("S3", "sim", "sim/meter_model.cpp", "if (a >= 4103 && a <= 4110) return true;",
  "if (a >= 4103 && a <= 4109) return true;", "register 4110 no longer writable"),
 ("S4", "sim", "sim/meter_model.cpp", "if (weekday == 6) return 3;", "if (weekday == 6) return 4;",
  "Saturday tariff"),
 ("S5", "sim", "sim/civil_time.cpp", "((days + 3) % 7 + 7) % 7", "((days + 4) % 7 + 7) % 7",
  "weekday of a date"),
 ("S6", "sim", "sim/options.cpp", "to_uint(*v, 247)", "to_uint(*v, 248)",
  "slave address 248 accepted"),
 ("S7", "sim", "sim/meter_model.cpp", "s.display_mask = {0x1DC7,", "s.display_mask = {0x1DC6,",
  "default display mask"),
 ("A1", "app", "app/connection.cpp", "case 1: Bits = 8, Paridad = 1, Stops = 1;",
  "case 1: Bits = 8, Paridad = 2, Stops = 1;", "8O1 opens with even parity"),
 ("A2", "app", "app/connection.cpp", "constexpr int kTestRegister = 4099;",
  "constexpr int kTestRegister = 4098;", "connection test reads the wrong register"),
 ("A3", "app", "app/status.cpp", "(l.tcpPort & 0xFFFF) == 502;", "(l.tcpPort & 0xFFFF) == 503;",
  "status line names the wrong link kind"),
 ("A4", "app", "app/about.cpp", "SetCtrlAttribute(about, kCtrlCompany, ATTR_VALUE, kAboutCompany);",
  "SetCtrlAttribute(about, kCtrlCompany, ATTR_VALUE, kAboutProduct);", "About shows the product as maker"),
 ("N1", "panels", "panels/panels.h", "kTextNoAnswer = 198,", "kTextNoAnswer = 197,",
  "popup text number of a silent meter"),
]

# Tests per layer, built and run first: a break is usually caught closest to it, and building
# a few test programs is much cheaper than building them all.
FIRST = {
 "link": ["test_frames", "test_transport", "test_engine"],
 "meter": ["test_meter_codec", "test_meter_polling", "test_meter_screens"],
 "lang": ["test_ini", "test_catalogue", "test_language"],
 "platform": ["test_ui", "test_registry", "test_registry_repairs", "test_tray", "test_rs232",
              "test_tcp"],
 "sim": ["sim_model_test", "sim_peers_test", "sim_faults_test", "sim_process_test"],
 "app": ["test_shell", "test_connection"],
 "panels": ["test_shell", "test_connection", "test_meter_screens"],
}
EXCLUDE = "^deploy$"
# A test program stops at its first failure: one is enough to call the mutation caught.
ENV = dict(os.environ, GTEST_FAIL_FAST="1")

src, work, out = os.environ["SRC"], os.environ["WORK"], os.environ["OUT"]
tree, build = os.path.join(work, "tree"), os.path.join(work, "build")
only = set(sys.argv[1:])
ids = [m[0] for m in M]
assert len(set(ids)) == len(ids), "duplicate mutation id"
assert len({(m[2], m[3]) for m in M}) == len(M), "duplicate mutation"

# Honest table: every mutation must apply to the tree as it stands, before any is run.
for mid, _, f, old, new, _ in M:
    n = open(os.path.join(tree, f), encoding="utf-8").read().count(old)
    if n != 1:
        sys.exit(f"mutate: {mid} ({f}) matches {n} times, not once: update the table")

def ctest(regex, exclude):
    cmd = ["ctest", "--test-dir", build, "--stop-on-failure", "-j2", "--timeout", "300",
           "--output-on-failure"]
    if regex: cmd += ["-R", regex]
    if exclude: cmd += ["-E", exclude]
    r = subprocess.run(cmd, capture_output=True, text=True, env=ENV)
    # The summary lists what failed: "  3 - test_frames (Failed)".
    failed = re.findall(r"^\s*\d+ - (\S+) \(", r.stdout.split("tests FAILED:")[-1], re.M)
    if r.returncode == 0: return None
    return failed[0] if failed else "(ctest exit %d)" % r.returncode

rows = []
def write():
    lines = ["| id | layer | file | what it breaks | result | first failing test |",
             "|---|---|---|---|---|---|"]
    lines += ["| %s | %s | `%s` | %s | %s | %s |" % r for r in rows]
    caught = sum(1 for r in rows if r[4] == "CAUGHT")
    lines += ["", "%d mutations, %d caught, %d missed, %d do not compile" % (
        len(rows), caught, sum(1 for r in rows if r[4] == "MISSED"),
        sum(1 for r in rows if r[4] == "does not compile"))]
    open(out, "w").write("\n".join(lines) + "\n")
    return "\n".join(lines)

for mid, layer, f, old, new, what in M:
    if only and mid not in only: continue
    path = os.path.join(tree, f)
    text = open(path, encoding="utf-8").read()
    open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
    try:
        near = "^(" + "|".join(FIRST[layer]) + ")$"
        first = None
        b = subprocess.run(["cmake", "--build", build, "-j2", "--target"] + FIRST[layer],
                           capture_output=True, text=True)
        if b.returncode == 0:
            first = ctest(near, EXCLUDE)
            if first is None:
                b = subprocess.run(["cmake", "--build", build, "-j2"], capture_output=True, text=True)
                if b.returncode == 0:
                    first = ctest(None, EXCLUDE + "|" + near)
        if b.returncode != 0:
            result, first = "does not compile", ""
        else:
            result = "MISSED" if first is None else "CAUGHT"
    finally:
        open(path, "w", encoding="utf-8").write(text)
    rows.append((mid, layer, f, what, result, first or ""))
    print(f"{mid} {result} {first or ''}", file=sys.stderr, flush=True)
    write()

# Leave the copy built as the tree stands.
subprocess.run(["cmake", "--build", build, "-j2"], capture_output=True)
print(write())
PY
