#!/usr/bin/env bash
# The packages a user installs. Builds them with scripts/package.sh, then checks:
#   the .deb: its file list, its control fields and the Depends that dpkg-shlibdeps computed;
#   installed into a throwaway root (dpkg -x): the flasher runs and plans an installed example, every
#   program finds its libraries, the desktop entries (the window's, and the production station's with
#   --station) validate and name their program and an icon that are there, the window's file type is
#   there, the file type is known to the MIME database built from the package, each man page renders
#   without a warning, and the bash completion completes options, ports and .hex files;
#   the zip: its file list, and that its programs need no DLL beyond Windows' own;
#   the installer, under wine in a fresh prefix (test-package-windows.sh): installed silently per
#   machine, its files, Start menu shortcuts, registry entries, flasher and window, then uninstalled
#   without a trace; then per user with PATH, uninstalled with PATH as it was.
# The window runs on an X display (Xvfb when none is set).
#   KV_WIN_BUILD  the Windows test build that holds window_probe.exe (default build/win, as
#                 test-windows.sh makes it; configured and built here when missing)
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
cd "$(dirname "$0")/.."
root=$PWD
version=1.1.0
deb=$root/dist/ld6193_${version}_amd64.deb
zip=$root/dist/ld6193-${version}-win64.zip
setup=$root/dist/ld6193-${version}-setup.exe
win_build=$root/build/pkg-win

fail() {
  echo "test-package: $*" >&2
  exit 1
}

# Compares a sorted list on stdin with the expected one; shows the difference when they disagree.
same_list() {  # what, expected list (newline-separated)
  local actual
  actual=$(sort)
  diff -u <(sort <<<"$2") - <<<"$actual" || fail "$1 differs from the expected list (- expected, + actual)"
}

rm -f "$deb" "$zip" "$setup"
scripts/package.sh deb zip setup
for package in "$deb" "$zip" "$setup"; do
  [ -f "$package" ] || fail "$package was not made"
done

examples=$(cd examples && ls -1 ./*.hex README.md | sed 's|^\./||')

echo "== $(basename "$deb"): files"
expected_deb="usr/bin/kv6193-sim
usr/bin/ld6193
usr/bin/ld6193-flash
usr/share/applications/ld6193-station.desktop
usr/share/applications/ld6193.desktop
usr/share/bash-completion/completions/ld6193-flash
usr/share/doc/ld6193/README.md
usr/share/doc/ld6193/changelog.gz
usr/share/doc/ld6193/copyright
$(sed 's|^|usr/share/doc/ld6193/examples/|' <<<"$examples")
$(for s in 16 24 32 48 64 128 256; do echo "usr/share/icons/hicolor/${s}x${s}/apps/ld6193.png"; done)
usr/share/icons/hicolor/scalable/apps/ld6193.svg
usr/share/man/man1/kv6193-sim.1.gz
usr/share/man/man1/ld6193-flash.1.gz
usr/share/man/man1/ld6193.1.gz
usr/share/mime/packages/ld6193.xml"
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | same_list "the .deb's file list" "$expected_deb"

echo "== $(basename "$deb"): control fields"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = ld6193 ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = amd64 ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)" || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
description=$(field Description)
[ "$(wc -l <<<"$description")" -gt 3 ] || fail "the Description has no long text"
[ "$(sed -n 1p <<<"$description")" != "$(sed -n 2p <<<"$description" | sed 's/^ //')" ] ||
  fail "the Description's long text repeats its summary line"
depends=$(field Depends)
echo "Depends: $depends"
# Versioned entries for the C and C++ runtimes and Qt come only from dpkg-shlibdeps reading the
# programs' libraries.
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6; do
  grep -Eq "(^|, )${library//+/\\+} \(>= [^)]+\)" <<<"$depends" || fail "Depends lacks a versioned $library"
done

echo "== installed into a throwaway root"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kv-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
dpkg -x "$deb" "$tmp/root"
usr=$tmp/root/usr
for program in "$usr"/bin/*; do
  # A fully static program (the flasher) has no dynamic section: nothing to bind late, nothing to find.
  readelf -l "$program" | grep -q 'INTERP' || continue
  readelf -d "$program" | grep -q 'BIND_NOW' || fail "$(basename "$program") is not built with Debian's hardening flags"
  if ldd "$program" | grep -q 'not found'; then
    ldd "$program" | grep 'not found' >&2
    fail "$(basename "$program") misses a library"
  fi
done
# Until the flasher has --version, its help shows that it runs; once --help lists --version, the
# version must be printed.
if "$usr/bin/ld6193-flash" --help | grep -q -- '--version'; then
  printed=$("$usr/bin/ld6193-flash" --version)
  grep -q '1\.1' <<<"$printed" || fail "ld6193-flash --version printed '$printed'"
  echo "ld6193-flash --version: $printed"
else
  "$usr/bin/ld6193-flash" --help >/dev/null || fail "the installed ld6193-flash --help failed"
  echo "NOTE: ld6193-flash has no --version yet; ran --help instead"
fi
"$usr/bin/ld6193-flash" --plan "$usr/share/doc/ld6193/examples/sector0.hex" >"$tmp/plan.txt" ||
  fail "the installed flasher cannot plan the installed sector0.hex: $(cat "$tmp/plan.txt")"
grep -q Sector0 "$tmp/plan.txt" || fail "the plan of sector0.hex does not name Sector0: $(cat "$tmp/plan.txt")"
"$usr/bin/kv6193-sim" --help >/dev/null || fail "the installed kv6193-sim --help failed"

echo "== desktop entries, icon and file type"
entry() { sed -n "s/^$1=//p" "$desktop"; }
# Each menu entry: its file, its name, and its command without the file it is given.
while IFS='|' read -r file name command; do
  desktop=$usr/share/applications/$file
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $file"
  [ "$(entry Name)" = "$name" ] || fail "$file is named '$(entry Name)', not '$name'"
  grep -q ' %[fFuU]$' <<<"$(entry Exec)" || fail "$file: Exec passes no file to the window"
  [ "$(entry Exec | sed 's/ %[fFuU]$//')" = "$command" ] || fail "$file: Exec is '$(entry Exec)', not '$command FILE'"
  exec_program=$(entry Exec | cut -d' ' -f1)
  [ -x "$usr/bin/$exec_program" ] || fail "$file: Exec names '$exec_program', which the package does not install"
  icon=$(entry Icon)
  [ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$file: no scalable icon named '$icon'"
  [ -f "$usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "$file: no 48x48 icon named '$icon'"
done <<'EOF'
ld6193.desktop|KV6193 System File Loader|ld6193
ld6193-station.desktop|KV6193 Production Station|ld6193 --station
EOF
# The window's entry is the one that opens HEX files.
desktop=$usr/share/applications/ld6193.desktop
# Build the MIME database from the package's definition alone: every type the entry opens must be one
# it (or the system) defines, and a .hex file must map to one of them.
cp -r /usr/share/mime/packages/. "$usr/share/mime/packages/"
XDG_DATA_DIRS=$usr/share update-mime-database "$usr/share/mime"
mime_types=$(entry MimeType | tr ';' '\n' | sed '/^$/d')
[ -n "$mime_types" ] || fail "the desktop entry opens no file type"
for type in $mime_types; do
  grep -q "^$type\$" "$usr/share/mime/types" || fail "MimeType $type is unknown to the MIME database"
done
hex_type=$(awk -F: '$3 == "*.hex" { print $2 }' "$usr/share/mime/globs2")
grep -qx "$hex_type" <<<"$mime_types" || fail "*.hex files are '$hex_type', which the entry does not open"

echo "== man pages"
for page in "$usr"/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  MANWIDTH=80 man --warnings -l "$page" >"$tmp/page.txt" 2>"$tmp/warnings.txt" || fail "man -l $name failed"
  [ ! -s "$tmp/warnings.txt" ] || fail "$name(1) renders with warnings: $(cat "$tmp/warnings.txt")"
  grep -q "^NAME" "$tmp/page.txt" && grep -q "^ *$name " "$tmp/page.txt" ||
    fail "$name(1) does not render with a NAME section naming $name"
done

echo "== bash completion"
# Prints the candidates for the command line given (the last word is the one being completed).
complete_line() {
  bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    compopt() { :; }  # only a completion that bash itself started may change its options
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    _ld6193_flash ld6193-flash "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort
  ' completion "$usr/share/bash-completion/completions/ld6193-flash" "$@"
}
mkdir -p "$tmp/files/sub"
touch "$tmp/files/a.hex" "$tmp/files/b.HEX" "$tmp/files/notes.txt"
export PATH=$usr/bin:$PATH
cd "$tmp/files"
while IFS='|' read -r words must; do
  read -ra line <<<"$words"
  [ "${words: -1}" = ' ' ] && line+=('')
  got=$(complete_line "${line[@]}")
  for candidate in $must; do
    grep -qx -- "$candidate" <<<"$got" || fail "completing '$words' offers no '$candidate' (got: ${got//$'\n'/ })"
  done
done <<'EOF'
ld6193-flash --p|--port --plan
ld6193-flash --q|--quiet
ld6193-flash --port |1 2 3 4
ld6193-flash --device r|rfc2217://
ld6193-flash |a.hex b.HEX sub
EOF
! grep -qx notes.txt <<<"$(complete_line ld6193-flash '')" || fail "the file argument offers notes.txt"
cd "$root"

echo "== $(basename "$zip"): files"
top=ld6193-${version}-win64
expected_zip="$top/ld6193-flash.exe
$top/README.md
$top/LICENSE.txt
$(sed "s|^|$top/examples/|" <<<"$examples")"
# The window is in the zip as soon as the Windows build makes it.
if [ -n "$(find "$win_build" -name ld6193.exe -not -path '*/_CPack_Packages/*' -print -quit)" ]; then
  expected_zip+=$'\n'"$top/ld6193.exe"
else
  echo "NOTE: the Windows build has no ld6193 window yet; the zip holds the flasher only"
fi
unzip -Z1 "$zip" | grep -v '/$' | same_list "the zip's file list" "$expected_zip"
unzip -q "$zip" -d "$tmp/zip"
for exe in "$tmp/zip/$top"/*.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  # Windows' own DLLs have upper-case names or are the C runtime; the compiler's and Qt's do not.
  if grep -Ei '^(lib|qt)' <<<"$dlls"; then fail "$(basename "$exe") needs DLLs that the zip does not hold"; fi
done

echo "== $(basename "$setup"): under wine"
# It installs what the zip holds, and its uninstaller.
sed "s|^$top/||" <<<"$expected_zip" >"$tmp/expected-installed.txt"
echo uninstall.exe >>"$tmp/expected-installed.txt"
scripts/test-package-windows.sh "$setup" "$tmp/expected-installed.txt" "$version"
echo "Package tests passed."
