#!/usr/bin/env bash
# The install's checks, one per ctest case (tests/install/CMakeLists.txt):
#   install_test.sh app-without-display AMBREL   ambrel --help/--version, and its refusal, with no display
#   install_test.sh CHECK                        Stage, StagedFilesAreInPlace, ..., DebPackage
# Environment: AMBREL_BUILD_DIR, AMBREL_WORK_DIR (scratch space of these
# tests), AMBREL_CORPUS_DIR, AMBREL_VERSION, AMBREL_APPSTREAM_ID.
# Exit status 0 passed, 1 failed, 77 skipped (a validator that no Debian
# package provides here).
set -euo pipefail

check=$1
shift
build=${AMBREL_BUILD_DIR:-}
work=${AMBREL_WORK_DIR:-}
staging=$work/staging
staged_manifest=$work/staged_install_manifest.txt
action_name="Convert to JPEG with Ambrel"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A program the check needs: a failure saying what to install when a Debian
# package provides it, a skip only when none can.
need() {
  local program=$1 package=$2
  if command -v "$program" >/dev/null 2>&1; then
    return
  fi
  if apt-cache show "$package" >/dev/null 2>&1; then
    fail "$program is not installed (Debian: apt-get install $package; scripts/install-deps.sh does)"
  fi
  echo "SKIP: $program is not installed and no package $package is known here"
  exit 77
}

# cmake --install (and cpack) rewrite the build folder's install_manifest.txt,
# which the uninstall target reads: the one of a real install is put back.
keep_manifest() {
  rm -f "$work/manifest.kept"
  if [ -f "$build/install_manifest.txt" ]; then
    cp -p "$build/install_manifest.txt" "$work/manifest.kept"
  fi
  trap restore_manifest EXIT
}
restore_manifest() {
  if [ -f "$work/manifest.kept" ]; then
    mv -f "$work/manifest.kept" "$build/install_manifest.txt"
  else
    rm -f "$build/install_manifest.txt"
  fi
}

# Stand-ins for the desktop's cache tools, which write what they were asked
# into $work/refresh.log.
make_refresh_stubs() {
  local stubs=$1
  mkdir -p "$stubs"
  for tool in update-desktop-database gtk-update-icon-cache; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/refresh.log"\n' "$tool" "$work" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
  done
  rm -f "$work/refresh.log"
}

# Lists the files and links below a folder, sorted, one a line.
files_below() {
  find "$1" \( -type f -o -type l \) -print | LC_ALL=C sort
}

# The width and height of a PNG file, from its IHDR chunk.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $3 * 256 + $4, $7 * 256 + $8 }'
}

is_stripped() {
  ! readelf -S --wide "$1" | grep -qE '\.(symtab|debug_info)( |$)'
}

case "$check" in

app-without-display)
  app=$1
  # As over ssh or in a package build: no display of any kind.
  run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" "$@"; }
  version=$(run --version) || fail "ambrel --version exited with $? without a display"
  [ "$version" = "ambrel $AMBREL_VERSION" ] || fail "ambrel --version printed '$version'"
  help=$(run --help) || fail "ambrel --help exited with $? without a display"
  for expected in "Usage:" "--screenshots" "--version" "FILE..."; do
    grep -qF -- "$expected" <<<"$help" || fail "ambrel --help lacks '$expected': $help"
  done
  # The window itself: the reason, and status 1 rather than Qt's abort.
  status=0
  said=$(run 2>&1) || status=$?
  [ "$status" = 1 ] || fail "ambrel without a display exited with $status: $said"
  grep -qF "no display" <<<"$said" || fail "ambrel without a display says: $said"
  ;;

Stage)
  need cmake cmake
  rm -rf "$staging" "$staged_manifest"
  keep_manifest
  make_refresh_stubs "$work/stubs"
  PATH="$work/stubs:$PATH" DESTDIR="$staging" cmake --install "$build" --prefix /usr >"$work/stage.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$work/stage.log")"
  cp "$build/install_manifest.txt" "$staged_manifest"
  # A staged install is for a package, whose installer refreshes the caches.
  [ ! -e "$work/refresh.log" ] || fail "a DESTDIR install ran: $(cat "$work/refresh.log")"
  ;;

StagedFilesAreInPlace)
  usr=$staging/usr
  for program in ambrel ambrel-convert ambrel-heifinfo; do
    [ -x "$usr/bin/$program" ] || fail "bin/$program is not installed"
    is_stripped "$usr/bin/$program" || fail "bin/$program is installed with its symbols"
    [ -s "$usr/share/man/man1/$program.1.gz" ] || fail "no man page for $program"
  done
  for program in ambrel-convert ambrel-heifinfo; do
    [ -s "$usr/share/bash-completion/completions/$program" ] || fail "no bash completion for $program"
  done
  for size in 16 32 48 64 128 256; do
    icon=$usr/share/icons/hicolor/${size}x${size}/apps/ambrel.png
    [ -f "$icon" ] || fail "no ${size}x${size} icon"
    [ "$(png_size "$icon")" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $(png_size "$icon")"
  done
  grep -q '<svg' "$usr/share/icons/hicolor/scalable/apps/ambrel.svg" || fail "no scalable icon"
  [ -f "$usr/share/applications/ambrel.desktop" ] || fail "no desktop entry"
  [ -f "$usr/share/metainfo/$AMBREL_APPSTREAM_ID.metainfo.xml" ] || fail "no AppStream metainfo"
  grep -q "MIT License" "$usr/share/doc/ambrel/copyright" || fail "no licence in share/doc/ambrel"
  [ -x "$usr/share/ambrel/file-manager/$action_name" ] || fail "no file-manager action script"
  menu=$usr/share/kio/servicemenus/ambrel-convert-to-jpeg.desktop
  [ -f "$menu" ] && [ ! -x "$menu" ] || fail "no Dolphin service menu, or an executable one in a package"
  grep -qxF "Exec=\"/usr/share/ambrel/file-manager/$action_name\" %F" "$menu" ||
    fail "the service menu does not run the installed action: $(grep Exec "$menu")"
  grep -qxF "Name=$action_name" "$menu" || fail "the service menu is not named '$action_name'"
  # The manifest (what uninstall removes) names exactly what was installed.
  diff <(files_below "$staging" | sed "s|^$staging||") <(LC_ALL=C sort "$staged_manifest") >"$work/manifest.diff" ||
    fail "installed files and manifest differ: $(cat "$work/manifest.diff")"
  ;;

DesktopEntryValidates)
  need desktop-file-validate desktop-file-utils
  entry=$staging/usr/share/applications/ambrel.desktop
  findings=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $findings"
  [ -z "$findings" ] || fail "desktop-file-validate: $findings"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -f "$staging/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the entry's icon $icon is not installed"
  program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ -x "$staging/usr/bin/$program" ] || fail "the entry runs $program, which is not installed"
  ;;

MetainfoValidates)
  need appstreamcli appstream
  metainfo=$staging/usr/share/metainfo/$AMBREL_APPSTREAM_ID.metainfo.xml
  findings=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $findings"
  grep -q "<release version=\"$AMBREL_VERSION\"" "$metainfo" || fail "the metainfo does not name version $AMBREL_VERSION"
  launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
  [ -f "$staging/usr/share/applications/$launchable" ] || fail "the metainfo launches $launchable, not installed"
  ;;

ManPagesRender)
  need man man-db
  # Each program with one of its own options, which its page lists.
  for program_option in ambrel:--screenshots ambrel-convert:--format ambrel-heifinfo:--json; do
    program=${program_option%%:*}
    option=${program_option#*:}
    page=$staging/usr/share/man/man1/$program.1.gz
    [ -s "$page" ] || fail "no man page for $program"
    # As Debian's lintian reads them: any groff warning is a finding.
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l $program.1 warns: $warnings"
    text=$(MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
    grep -q "^NAME" <<<"$text" || fail "$program.1 has no NAME section"
    grep -qE "^ +$program +- " <<<"$text" || fail "$program.1 does not name $program: $text"
    grep -qF -- "$option" <<<"$text" || fail "$program.1 does not list $option: $text"
    grep -qF "$program $AMBREL_VERSION" <<<"$text" || fail "$program.1 does not carry version $AMBREL_VERSION"
  done
  ;;

BashCompletion)
  need bash bash
  [ -f /usr/share/bash-completion/bash_completion ] ||
    fail "bash-completion is not installed (Debian: apt-get install bash-completion)"
  completions=$staging/usr/share/bash-completion/completions
  folder=$work/completion
  rm -rf "$folder"
  mkdir -p "$folder/photos"
  touch "$folder/a.heic" "$folder/b.HIF" "$folder/c.Heif" "$folder/notes.txt"
  # The completions of a command line whose last word is being completed.
  complete_line() {
    (cd "$folder" && PATH="$staging/usr/bin:$PATH" bash --norc --noprofile -c '
      source /usr/share/bash-completion/bash_completion
      source "$1"
      shift
      COMP_WORDS=("$@")
      COMP_CWORD=$(($# - 1))
      COMP_LINE="$*"
      COMP_POINT=${#COMP_LINE}
      function=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
      "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' _ "$completions/$1" "$@")
  }
  got=$(complete_line ambrel-convert --form)
  grep -qx -- "--format" <<<"$got" || fail "ambrel-convert --form completes to: $got"
  got=$(complete_line ambrel-convert -f JP)
  [ "$got" = $'JPEG2000\nJPG' ] || fail "ambrel-convert -f JP completes to: $got"
  got=$(complete_line ambrel-convert "")
  [ "$got" = $'a.heic\nb.HIF\nc.Heif\nphotos' ] || fail "ambrel-convert completes files to: $got"
  got=$(complete_line ambrel-convert -o "")
  [ "$got" = "photos" ] || fail "ambrel-convert -o completes to: $got"
  got=$(complete_line ambrel-heifinfo --js)
  [ "$got" = "--json" ] || fail "ambrel-heifinfo --js completes to: $got"
  ;;

FileManagerAction)
  action=$staging/usr/share/ambrel/file-manager/$action_name
  photo=$AMBREL_CORPUS_DIR/zPug_3.heic
  [ -f "$photo" ] || fail "$photo is missing"
  # A PATH of the basic tools only (no ambrel-convert, no notifier): the
  # action finds ambrel-convert beside itself in the installation.
  tools=$work/tools
  rm -rf "$tools"
  mkdir -p "$tools"
  for tool in readlink dirname sed grep head tail mkdir; do
    ln -s "$(command -v "$tool")" "$tools/$tool"
  done

  # Nautilus: the selected names, run in their folder; notify-send shows.
  folder=$work/action-nautilus
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$photo" "$folder/my photo.heic"
  notifier=$work/notifier
  mkdir -p "$notifier"
  printf '#!/bin/sh\nfor a in "$@"; do echo "$a"; done >"%s/notified"\n' "$work" >"$notifier/notify-send"
  chmod +x "$notifier/notify-send"
  rm -f "$work/notified"
  (cd "$folder" && PATH="$notifier:$tools" "$action" "my photo.heic") >"$work/action.log" 2>&1 ||
    fail "the action failed: $(cat "$work/action.log")"
  [ -s "$folder/my photo.jpg" ] || fail "no JPEG beside the photo: $(ls "$folder")"
  [ -s "$work/notified" ] || fail "the result was not shown"
  grep -qx -- "--urgency=normal" "$work/notified" || fail "a success was shown as: $(cat "$work/notified")"

  # Dolphin: full paths, one file that cannot be converted, no way to show
  # a window: the report lands beside the files.
  folder=$work/action-dolphin
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$photo" "$folder/good.heic"
  : >"$folder/broken.heic"
  status=0
  PATH="$tools" "$action" "$folder/good.heic" "$folder/broken.heic" >"$work/action.log" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "the action exited with $status after a failed file: $(cat "$work/action.log")"
  [ -s "$folder/good.jpg" ] || fail "no JPEG beside good.heic: $(ls "$folder")"
  report=$folder/$action_name.txt
  [ -f "$report" ] || fail "no report beside the files: $(ls "$folder")"
  grep -q "broken.heic" "$report" || fail "the report does not name the failed file: $(cat "$report")"
  ;;

Uninstall)
  # The clean-up of the staged install, through the uninstall target.
  [ -f "$staged_manifest" ] || fail "no staged install to remove"
  keep_manifest
  cp "$staged_manifest" "$build/install_manifest.txt"
  DESTDIR="$staging" cmake --build "$build" --target uninstall >"$work/uninstall.log" 2>&1 ||
    fail "the uninstall target failed: $(cat "$work/uninstall.log")"
  left=$(files_below "$staging")
  [ -z "$left" ] || fail "left after uninstall: $left"
  [ ! -e "$staging/usr/share/ambrel" ] || fail "share/ambrel is left after uninstall"
  rm -rf "$staging" "$staged_manifest"
  ;;

UserPrefixRefreshesDesktop)
  prefix=$work/home/.local
  rm -rf "$work/home"
  keep_manifest
  make_refresh_stubs "$work/stubs"
  env -u DESTDIR PATH="$work/stubs:$PATH" cmake --install "$build" --prefix "$prefix" >"$work/user-install.log" 2>&1 ||
    fail "cmake --install --prefix failed: $(cat "$work/user-install.log")"
  expected="update-desktop-database -q $prefix/share/applications
gtk-update-icon-cache -q -t -f $prefix/share/icons/hicolor"
  [ "$(cat "$work/refresh.log" 2>/dev/null)" = "$expected" ] ||
    fail "the install refreshed: $(cat "$work/refresh.log" 2>/dev/null)"
  # The service menu runs the action of this prefix, given at install time.
  grep -qxF "Exec=\"$prefix/share/ambrel/file-manager/$action_name\" %F" \
    "$prefix/share/kio/servicemenus/ambrel-convert-to-jpeg.desktop" || fail "the service menu runs another action"
  [ -x "$prefix/share/kio/servicemenus/ambrel-convert-to-jpeg.desktop" ] ||
    fail "the service menu in a user's prefix is not executable, and Dolphin would not run it"
  rm -f "$work/refresh.log"
  env -u DESTDIR PATH="$work/stubs:$PATH" cmake --build "$build" --target uninstall >"$work/user-uninstall.log" 2>&1 ||
    fail "the uninstall target failed: $(cat "$work/user-uninstall.log")"
  [ -z "$(files_below "$work/home")" ] || fail "left after uninstall: $(files_below "$work/home")"
  [ "$(cat "$work/refresh.log" 2>/dev/null)" = "$expected" ] ||
    fail "the uninstall refreshed: $(cat "$work/refresh.log" 2>/dev/null)"
  rm -rf "$work/home"
  ;;

DebPackage)
  need dpkg-deb dpkg
  need dpkg-shlibdeps dpkg-dev
  out=$work/deb
  rm -rf "$out"
  keep_manifest
  (cd "$build" && cpack -G DEB -B "$out") >"$work/cpack.log" 2>&1 || fail "cpack failed: $(cat "$work/cpack.log")"
  debs=("$out"/ambrel_"$AMBREL_VERSION"_*.deb)
  deb=${debs[0]}
  [ -f "$deb" ] || fail "no ambrel_${AMBREL_VERSION}_*.deb: $(ls "$out")"
  depends=$(dpkg-deb --field "$deb" Depends)
  # The package names of the dependencies, one a line.
  names=$(sed -e 's/, /\n/g' <<<"$depends" | sed -E 's/[ (|].*//')
  for package in qt6-qpa-plugins libqt6widgets6 libqt6core6 libc6 'libstdc\+\+6' 'libavcodec[0-9]+' \
    'libopencv-core[0-9]+' libjsoncpp25 qt6-image-formats-plugins; do
    grep -qxE "$package" <<<"$names" || fail "Depends lacks $package: $depends"
  done
  # The programs read and write images with their own libraries, not OpenCV's codecs.
  ! grep -qxE 'libopencv-imgcodecs[0-9]+' <<<"$names" || fail "Depends has OpenCV's image codecs: $depends"
  # Installable: every dependency (one of its alternatives) is met by what
  # this machine has installed, so dpkg -i would succeed here.
  IFS=',' read -ra groups <<<"$depends"
  for group in "${groups[@]}"; do
    met=0
    IFS='|' read -ra alternatives <<<"$group"
    for alternative in "${alternatives[@]}"; do
      read -r name relation version <<<"$(sed -E 's/[()]//g' <<<"$alternative")"
      name=${name%%:*}
      installed=$(dpkg-query -W -f='${db:Status-Status} ${Version}' "$name" 2>/dev/null || true)
      [ "${installed%% *}" = installed ] || continue
      if [ -z "${relation:-}" ] || dpkg --compare-versions "${installed#* }" "$relation" "$version"; then
        met=1
      fi
    done
    [ "$met" = 1 ] || fail "dependency not met on this machine: $group"
  done
  contents=$(dpkg-deb --contents "$deb")
  for file in ./usr/bin/ambrel ./usr/bin/ambrel-convert ./usr/bin/ambrel-heifinfo \
    ./usr/share/applications/ambrel.desktop ./usr/share/man/man1/ambrel-convert.1.gz ./usr/share/doc/ambrel/changelog.gz \
    "./usr/share/ambrel/file-manager/$action_name" ./usr/share/kio/servicemenus/ambrel-convert-to-jpeg.desktop \
    ./usr/share/doc/ambrel/copyright; do
    grep -qF " $file" <<<"$contents" || fail "the package lacks $file"
  done
  if grep -vE ' root/root ' <<<"$contents" | grep -q .; then
    fail "files not owned by root in the package: $(grep -vE ' root/root ' <<<"$contents")"
  fi
  dpkg-deb --extract "$deb" "$out/root"
  is_stripped "$out/root/usr/bin/ambrel" || fail "the packaged ambrel is not stripped"
  grep -qxF "Exec=\"/usr/share/ambrel/file-manager/$action_name\" %F" \
    "$out/root/usr/share/kio/servicemenus/ambrel-convert-to-jpeg.desktop" || fail "the packaged service menu runs another action"
  rm -rf "$out"
  ;;

*)
  fail "unknown check $check"
  ;;
esac
echo "passed: $check"
