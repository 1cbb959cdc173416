#!/usr/bin/env bash
# Cross-builds the tool for 64-bit Windows against the Qt that build-qt.sh made, with the
# tests that scripts/windows/test.sh runs under Wine, and packages
#   build-win/veldixmid-<version>-windows-x64.zip
# (the executable, the Qt and mingw runtime DLLs it needs, the Qt plugins, the resource
# file, language.ini, the four icons and a short LEEME.txt/README.txt).
#
#   VELDIX_QT_MINGW   the Qt prefix (default /opt/veldixmid/qt6-mingw)
#   VELDIX_WIN_BUILD  output folder  (default <repo>/build-win)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qt=${VELDIX_QT_MINGW:-/opt/veldixmid/qt6-mingw}
out=${VELDIX_WIN_BUILD:-$root/build-win}
triple=x86_64-w64-mingw32
jobs=${VELDIX_JOBS:-$(nproc)}

if [ ! -f "$qt/.veldixmid-qt-complete" ]; then
  echo "build.sh: no Qt for mingw in $qt; run scripts/windows/build-qt.sh first" >&2
  exit 1
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
start=$(date +%s)

# 1. The icons are drawn at build time by a tool that must run here, and test.sh needs the
#    native simulator: both come from a build for this machine.
cmake -S "$root" -B "$out/host" -DVELDIX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  "${launcher[@]}" >/dev/null
cmake --build "$out/host" --parallel "$jobs" --target veldix-mkicons veldixmid-sim

# 2. The Windows build.
cmake -S "$root" -B "$out/win" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
  -DCMAKE_BUILD_TYPE=Release -DVELDIX_WERROR=ON \
  -DVELDIX_HOST_MKICONS="$out/host/tools/veldix-mkicons" \
  -DVELDIX_GTEST_SOURCE=/usr/src/googletest \
  "${launcher[@]}" >/dev/null
cmake --build "$out/win" --parallel "$jobs"
built=$(date +%s)

# 3. The package: everything the executable loads, found by following the DLL imports
#    through the Qt and mingw runtime folders (system DLLs are Windows' own).
version=$(sed -n 's/^project(veldixmid VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=veldixmid-$version-windows-x64
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/platforms" "$stage/imageformats" "$stage/styles"
bin="$out/win/bin"
cp "$bin/veldixmid.exe" "$bin/VELDIXMID.uir" "$bin/language.ini" "$bin"/trffc_?.ico "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/imageformats/qico.dll" "$stage/imageformats/"  # the link indicator's .ico
if [ -f "$qt/plugins/styles/qwindowsvistastyle.dll" ]; then
  cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"  # the native look
fi

gccdir=$(dirname "$($triple-g++-posix -print-libgcc-file-name)")
search=("$qt/bin" "$gccdir" "/usr/$triple/lib")
imports() { $triple-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
find_dll() {
  local d
  for d in "${search[@]}"; do
    if [ -f "$d/$1" ]; then echo "$d/$1"; return; fi
  done
}
queue=("$stage/veldixmid.exe" "$stage"/platforms/*.dll "$stage"/imageformats/*.dll)
[ -n "$(ls "$stage"/styles/ 2>/dev/null)" ] && queue+=("$stage"/styles/*.dll)
declare -A seen=()
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$file"); do
    key=${dll,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    path=$(find_dll "$dll")
    [ -z "$path" ] && continue  # a Windows system DLL
    cp "$path" "$stage/"
    queue+=("$stage/$dll")
  done
done

# Symbols are of no use to the operator: strip them (Qt's own DLLs carry them too).
find "$stage" -name '*.dll' -o -name '*.exe' | xargs $triple-strip --strip-unneeded

cat >"$stage/LEEME.txt" <<EOF
VELDIX-MID $version para Windows (64 bits)

Descomprima la carpeta entera donde quiera (no hace falta instalar nada ni ser
administrador) y ejecute veldixmid.exe. Deje todos los ficheros juntos: el programa
lee VELDIXMID.uir, language.ini y los iconos trffc_*.ico de su propia carpeta.

Puerto 1-98 es el puerto serie COM1-COM98 (vea el numero en el Administrador de
dispositivos, "Puertos (COM y LPT)"); 99 o mayor, un enlace TCP.
El idioma elegido se guarda en el registro, en
HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language; sin derechos de
administrador se guarda en la misma clave de HKEY_CURRENT_USER, que se lee primero.
EOF
cat >"$stage/README.txt" <<EOF
VELDIX-MID $version for Windows (64-bit)

Unzip the whole folder anywhere (no installation, no administrator rights needed to
run it) and start veldixmid.exe. Keep the files together: the tool reads
VELDIXMID.uir, language.ini and the trffc_*.ico icons from its own folder.

Port 1-98 is serial port COM1-COM98 (see Device Manager, "Ports (COM & LPT)" for the
number); 99 and above, a TCP link.
The chosen language is kept in the registry, under
HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language; without administrator
rights it goes to the same key under HKEY_CURRENT_USER, which is read first.
EOF
sed -i 's/$/\r/' "$stage/LEEME.txt" "$stage/README.txt"  # Notepad's line ends

(cd "$out" && zip -qr "$name.zip" "$name")
end=$(date +%s)
echo "build.sh: tool and tests built in $((built - start)) s, packaged in $((end - built)) s"
echo "build.sh: $out/$name.zip, $(stat -c %s "$out/$name.zip") bytes:"
(cd "$stage" && find . -type f | sort | sed 's|^\./|  |')
