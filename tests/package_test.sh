#!/usr/bin/env bash
# Builds the release packages as a release does and checks what a user gets:
# the install layout, the .deb (fields, Depends, files, manual page, program,
# installs) and the Windows zip. Every program run has a time limit. Needs the
# tools tests/run_all.sh installs (dpkg-dev, man-db, unzip, the cross compiler).
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
system_installed=0
watch_pid=
cleanup() {
  if [[ -n $watch_pid ]]; then kill "$watch_pid" 2>/dev/null || true; fi
  if ((system_installed)); then dpkg -r pathwarden >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

step() { echo "--- $*"; }

# Waits up to 20 s for a line equal to $2 in the file $1.
wait_for_line() {
  local deadline=$((SECONDS + 20))
  until grep -qxF -- "$2" "$1"; do
    ((SECONDS < deadline)) || fail "no line '$2' in $1: $(cat "$1")"
    sleep 0.05
  done
}

version=$(sed -n 's/^project(Pathwarden VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no version in CMakeLists.txt's project()"
arch=$(dpkg --print-architecture)
deb=build/packages/pathwarden_${version}-1_${arch}.deb
zip=build/packages/Pathwarden-${version}-win32.zip

expected_usage="
Run without any arguments to monitor / recursively.
Add the \"NoRecurse\" argument to monitor only the target and not sub-folders.
Specify a folder path to monitor that instead of /.
Examples:
    pathwarden /srv/test
    pathwarden / NoRecurse
    pathwarden \"/home/me/My Files\""

# The usage block on standard output and status 255 (-1), from the binary $1.
check_usage() {
  local output status=0
  output=$(timeout 10 "$1" --help </dev/null) || status=$?
  ((status == 255)) || fail "$1 --help ended with status $status, not 255"
  [[ $output == "$expected_usage" ]] || fail "$1 --help printed:
$output"
}

# A real watch with the binary $1: the start lines, then a new file's line.
check_watch() {
  local dir=$work/watched log=$work/watch.log
  rm -rf "$dir"
  mkdir -p "$dir/sub"
  # setsid: without a terminal the program sees no key, whoever runs this.
  setsid "$1" "$dir" >"$log" </dev/null &
  watch_pid=$!
  wait_for_line "$log" "Push any key to exit."
  : >"$dir/sub/made"
  wait_for_line "$log" "    FILE_ACTION_ADDED               \"$dir/sub/made\""
  kill "$watch_pid"
  wait "$watch_pid" || true
  watch_pid=
}

# The page $1 renders at several widths without a warning from groff or man.
check_manual_page() {
  local width warnings
  for width in 60 80 132; do
    warnings=$(MANWIDTH=$width timeout 60 man --warnings -l "$1" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man --warnings at width $width: $warnings"
  done
  # The whatis entry that mandb builds from NAME.
  timeout 60 lexgrog "$1" | grep -q ': "pathwarden - ' || fail "lexgrog cannot read the NAME section of $1"
  grep -Eq "^\.TH PATHWARDEN 1 \"[0-9]{4}-[0-9]{2}-[0-9]{2}\" \"Pathwarden $version\"" "$1" ||
    fail "$1 carries no build stamp for version $version: $(grep '^\.TH' "$1")"
}

step "build the packages"
rm -f build/packages/pathwarden_*.deb build/packages/Pathwarden-*.zip
cmake --workflow --preset linux-package
cmake --workflow --preset windows-package
[[ -f $deb ]] || fail "no $deb"
[[ -f $zip ]] || fail "no $zip"

step "cmake --install"
cmake --install build/linux-release --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
[[ $installed == "./bin/pathwarden ./share/man/man1/pathwarden.1 " ]] || fail "cmake --install laid out: $installed"
check_manual_page "$work/prefix/share/man/man1/pathwarden.1"

step "control fields of $deb"
# Each field against a glob pattern.
for check in Package=pathwarden "Version=$version-1" "Architecture=$arch" Section=utils 'Maintainer=*@*' 'Description=?*'; do
  value=$(dpkg-deb -f "$deb" "${check%%=*}")
  [[ $value == ${check#*=} ]] || fail "${check%%=*}: $value"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"

step "the package's files"
dpkg-deb -x "$deb" "$work/x"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort | tr '\n' ' ')
[[ $files == "-rw-r--r-- root/root ./usr/share/man/man1/pathwarden.1.gz -rwxr-xr-x root/root ./usr/bin/pathwarden " ]] ||
  fail "the package holds: $files"
bin=$work/x/usr/bin/pathwarden

step "Depends covers every library the binary links"
# The package of each library the loader resolves must be named in Depends,
# with a version. /lib and /usr/lib are one directory on Debian 12, but dpkg
# knows each file under the name its package shipped it.
declare -A depended
while read -r name constraint; do
  depended[$name]=$constraint
done < <(tr ',' '\n' <<<"$depends" | sed 's/^ *//')
while read -r library path; do
  owner=
  for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr$path"; do
    owner=$(dpkg-query -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1) && [[ -n $owner ]] && break
  done
  [[ -n $owner ]] || fail "no package owns $path ($library)"
  [[ ${depended[$owner]:-} == "(>= "* ]] || fail "Depends lacks $owner (>= version) for $library: $depends"
done < <(timeout 10 ldd "$bin" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }')

step "the packaged program"
check_usage "$bin"
check_watch "$bin"
zcat "$work/x/usr/share/man/man1/pathwarden.1.gz" >"$work/pathwarden.1"
check_manual_page "$work/pathwarden.1"

if [[ $(id -u) == 0 ]]; then
  step "dpkg --root: install into a throw-away root, run, remove"
  # The root's database lists only the packages Depends names, copied from
  # this machine's, so dpkg checks Depends against real versions.
  root=$work/root
  admin=$root/var/lib/dpkg
  mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
  : >"$admin/status"
  for package in $(sed -e 's/([^)]*)//g' -e 's/[,|]/ /g' <<<"$depends"); do
    # The instance of this architecture (libc6:i386 may be installed too).
    instance=$package:$arch
    dpkg-query -W "$instance" >/dev/null 2>&1 || instance=$package
    dpkg-query -s "$instance" >>"$admin/status"
    echo >>"$admin/status"
    : >"$admin/info/$(dpkg-query -W -f '${binary:Package}' "$instance").list"
  done
  timeout 120 dpkg --root="$root" -i "$deb"
  [[ $(dpkg-query --admindir="$admin" -W -f '${Status}' pathwarden) == "install ok installed" ]] ||
    fail "pathwarden is not installed in $root"
  check_usage "$root/usr/bin/pathwarden"
  [[ -s $root/usr/share/man/man1/pathwarden.1.gz ]] || fail "no manual page in $root"
  timeout 120 dpkg --root="$root" -r pathwarden
  left=$(cd "$root" && find . -path ./var -prune -o -print | sort | tr '\n' ' ')
  [[ $left == ". " ]] || fail "dpkg -r left behind: $left"
  ! dpkg-query --admindir="$admin" -W -f '${Status}' pathwarden 2>/dev/null | grep -q installed ||
    fail "pathwarden is still known to $root's database"
else
  echo "SKIP: dpkg --root needs root"
fi

if [[ $(id -u) == 0 && ${CI:-} == true ]] && ! dpkg-query -W -f '${Status}' pathwarden 2>/dev/null | grep -q installed; then
  step "apt-get install ./$deb, man pathwarden, pathwarden --help, removal"
  system_installed=1
  timeout 600 apt-get install -y -o DPkg::Lock::Timeout=300 "./$deb"
  [[ $(command -v pathwarden) == /usr/bin/pathwarden ]] || fail "pathwarden is not /usr/bin/pathwarden"
  check_usage pathwarden
  [[ $(timeout 60 man -w pathwarden) == /usr/share/man/man1/pathwarden.1.gz ]] || fail "man -w pathwarden: $(man -w pathwarden)"
  warnings=$(timeout 60 man --warnings pathwarden 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man --warnings pathwarden: $warnings"
  timeout 600 apt-get remove -y -o DPkg::Lock::Timeout=300 pathwarden
  system_installed=0
  [[ ! -e /usr/bin/pathwarden && ! -e /usr/share/man/man1/pathwarden.1.gz ]] || fail "apt-get remove left files behind"
else
  echo "SKIP: the install on this machine runs only under CI, as root, where no pathwarden package is installed"
fi

step "the Windows zip"
entries=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
top=Pathwarden-${version}-win32
[[ $entries == "$top/Pathwarden.exe $top/README.txt " ]] || fail "the zip holds: $entries"
unzip -q "$zip" -d "$work/zip"
exe=$work/zip/$top/Pathwarden.exe
readme=$work/zip/$top/README.txt
PYTHONDONTWRITEBYTECODE=1 timeout 60 /usr/bin/python3 - "$exe" <<'EOF'
import sys

from tests.e2e.support.pe_image import MACHINE_I386, MAGIC_PE32, SUBSYSTEM_WINDOWS_CUI, read_pe_image

image = read_pe_image(sys.argv[1])
assert (image.machine, image.magic) == (MACHINE_I386, MAGIC_PE32), "not a 32-bit x86 PE32 image"
assert image.subsystem == SUBSYSTEM_WINDOWS_CUI, f"subsystem {image.subsystem}, not the console"
# mingw's runtime DLLs are not on a bare Windows; the system's never start with "lib".
mingw = [dll for dll in image.imported_dlls if dll.lower().startswith("lib")]
assert not mingw, f"needs {mingw}"
EOF
head -1 "$readme" | grep -q "^Pathwarden $version for Windows" || fail "README.txt does not start with the version"
if LC_ALL=C grep -q $'[^\r]$' "$readme"; then fail "README.txt has lines without CRLF"; fi
# The zip's exe under Wine; skipped, with the reason, where 32-bit Wine cannot start.
PYTHONDONTWRITEBYTECODE=1 PATHWARDEN_EXE=$exe PATHWARDEN_EXE_MACHINE=i386 \
  PATHWARDEN_WINEPREFIX=$PWD/build/windows-i686/wineprefix \
  timeout 900 /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider -o timeout=240 -m wine \
  tests/e2e/test_windows.py -k help_or_extra_paths

echo "package tests passed: $deb $zip"
