#!/usr/bin/env bash
# install_test.sh MODE: checks of the installed programs and files (see CMakeLists.txt).
set -uo pipefail
BUILD=${TW_BUILD:?}
SOURCE=${TW_SOURCE:?}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }
skip() { echo "[  SKIPPED ] $*"; exit 77; }

case ${1:?mode} in
destdir)
  WORK=$(mktemp -d /tmp/tw-install-XXXXXX)
  guard_pid=""
  panel_pid=""
  cleanup() {
    [ -n "$panel_pid" ] && kill "$panel_pid" 2>/dev/null
    [ -n "$guard_pid" ] && kill "$guard_pid" 2>/dev/null
    rm -rf "$WORK"
  }
  trap cleanup EXIT
  DESTDIR=$WORK/root cmake --install "$BUILD" --prefix /opt/tw >"$WORK/install.log" 2>&1 ||
    { cat "$WORK/install.log"; bad "cmake --install failed"; exit 1; }
  PREFIX=$WORK/root/opt/tw
  # Nothing outside the prefix.
  outside=$(cd "$WORK/root" && find . -mindepth 1 -maxdepth 2 ! -path ./opt ! -path ./opt/tw)
  [ -z "$outside" ] || bad "installed outside the prefix: $outside"
  programs=$(ls -d "$PREFIX"/lib*/tidewipe 2>/dev/null | head -1)
  [ -n "$programs" ] || { bad "no program folder under $PREFIX"; exit 1; }
  for p in tidewipe tidewipe-cli sentrel tidewipe-admin; do
    [ -x "$programs/$p" ] || bad "$p is not in the program folder"
    [ -L "$PREFIX/bin/$p" ] && [ "$(readlink -f "$PREFIX/bin/$p")" = "$(readlink -f "$programs/$p")" ] ||
      bad "bin/$p does not lead to the program folder"
  done
  [ -f "$programs/help/general.html" ] || bad "the help pages are not beside the programs"
  for p in tidewipe tidewipe-cli sentrel; do
    "$PREFIX/bin/$p" --version 2>/dev/null | grep -qx "$p [0-9.]*" || bad "$p --version"
  done
  # The demo's search and recovery on the committed samples, with the installed CLI.
  "$SOURCE/tests/data/demo.sh" "$PREFIX/bin" >"$WORK/demo.log" 2>&1 ||
    { tail -30 "$WORK/demo.log"; bad "the demo failed with the installed tidewipe-cli"; }
  grep -q "files identical to their originals, 0 wrong or missing" "$WORK/demo.log" ||
    bad "the demo recovered nothing"
  # The installed panel (started through its bin/ link) starts the guard beside it.
  command -v dbus-run-session >/dev/null || skip "dbus-run-session is missing"
  mkdir -m 700 "$WORK/run"
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$WORK/run" \
    HOME="$WORK/home" TIDEWIPE_CONFIG_HOME="$WORK/cfg" XDG_CONFIG_HOME="$WORK/config" \
    XDG_DATA_HOME="$WORK/data" XDG_STATE_HOME="$WORK/state" \
    dbus-run-session -- bash -c '
      "$1/bin/tidewipe" & panel=$!
      for i in $(seq 50); do
        out=$("$1/bin/tidewipe-cli" guard status --json --timeout 200 2>/dev/null) && break
        sleep 0.2
      done
      echo "$out"
      pid=$(grep -o "\"pid\": *[0-9]*" <<<"$out" | grep -o "[0-9]*$")
      [ -n "$pid" ] && echo "exe: $(readlink "/proc/$pid/exe")"
      "$1/bin/tidewipe-cli" guard stop >/dev/null 2>&1
      kill $panel; wait $panel' _ "$PREFIX" >"$WORK/panel.out" 2>"$WORK/panel.err"
  guard_pid=$(grep -o '"pid": *[0-9]*' "$WORK/panel.out" | grep -o '[0-9]*$')
  if ! grep -qx "exe: $programs/sentrel" "$WORK/panel.out"; then
    cat "$WORK/panel.out" "$WORK/panel.err"
    bad "the installed panel did not start the guard beside it"
  fi
  # A guard that outlived its bus is ended here, by its id, if it is still ours.
  [ -n "$guard_pid" ] && [ "$(readlink "/proc/$guard_pid/exe" 2>/dev/null)" = "$programs/sentrel" ] ||
    guard_pid=""
  ;;
man)
  command -v man >/dev/null || skip "man is missing"
  for page in "$BUILD"/man/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || bad "$(basename "$page"): $warnings"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "SEE ALSO" ||
      bad "$(basename "$page") renders no text"
  done
  # Every command of the program is in its man page.
  for cmd in $("$BUILD/bin/tidewipe-cli" --help | awk '/^[A-Z].*:$/ && !/^(Usage|Options)/ {l=1; next} l && /^  [a-z]/ {print $1}'); do
    grep -q "^\.B[IR]* \"\?$cmd\b" "$BUILD/man/tidewipe-cli.1" || bad "tidewipe-cli.1 lacks $cmd"
    # ... and every option of the command and of its subcommands.
    subs=$("$BUILD/bin/tidewipe-cli" "$cmd" --help | awk '/^Subcommands:$/ {l=1; next} l && /^  [a-z]/ {print $1}')
    for path in "$cmd" $(for s in $subs; do echo "$cmd:$s"; done); do
      for opt in $("$BUILD/bin/tidewipe-cli" ${path/:/ } --help | grep -oE '^  (-[a-z],)?--[a-z-]+' | grep -oE -- '--[a-z-]+$'); do
        [ "$opt" = --help ] && continue
        grep -qF -- "${opt//-/\\-}" "$BUILD/man/tidewipe-cli.1" || bad "tidewipe-cli.1 lacks ${path/:/ } $opt"
      done
    done
  done
  ;;
completion)
  complete() {  # WORDS...: what the completion offers for the last word
    PATH="$BUILD/bin:$PATH" bash -c '
      source "$1"; shift
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
      _tidewipe_cli; printf "%s\n" "${COMPREPLY[@]}"' _ \
      "$SOURCE/resources/completion/tidewipe-cli.bash" tidewipe-cli "$@"
  }
  got=$(complete "")
  for cmd in wipe free-space search recover trash clean schedule guard settings log; do
    grep -qx "$cmd" <<<"$got" || bad "no '$cmd' among the commands offered"
  done
  grep -q -- '^-' <<<"$got" && bad "options offered where a command is expected"
  got=$(complete trash re)
  [ "$got" = restore ] || bad "'trash re' completes to '$got'"
  got=$(complete wipe --pa)
  [ "$got" = --passes ] || bad "'wipe --pa' completes to '$got'"
  got=$(complete search /)
  grep -qx / <<<"$got" || bad "no mount point offered for SOURCE"
  ;;
desktop)
  d=$SOURCE/resources/desktop
  if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$d/org.tidewipe.Tidewipe.metainfo.xml" >/dev/null ||
      bad "the AppStream metainfo does not validate"
  fi
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$d/org.tidewipe.Tidewipe.desktop" || bad "the .desktop entry"
  fi
  command -v xmllint >/dev/null || skip "xmllint is missing"
  xmllint --noout "$BUILD/install/org.tidewipe.Tidewipe.policy" "$d/tidewipe.svg" ||
    bad "the polkit action or the icon is not well-formed XML"
  grep -q "exec.path\">/.*/tidewipe-admin<" "$BUILD/install/org.tidewipe.Tidewipe.policy" ||
    bad "the polkit action does not name the launcher by its absolute path"
  ;;
admin)
  # The launcher as a user (pkexec replaced by a stand-in that prints its arguments),
  # then its root side as pkexec would start it: only the display and the user's
  # folders are handed over, and what root creates there goes back to the user.
  [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null || skip "needs root and setpriv"
  WORK=$(mktemp -d /tmp/tw-admin-XXXXXX)
  trap 'rm -rf "$WORK"' EXIT
  chmod 755 "$WORK"
  DESTDIR=$WORK/r cmake --install "$BUILD" --prefix /usr >/dev/null || { bad "install"; exit 1; }
  programs=$WORK/r/usr/libexec/tidewipe
  sed -i "s|^PROGRAMS=.*|PROGRAMS='$programs'|" "$programs/tidewipe-admin"
  mkdir "$WORK/fake" "$WORK/h" && chown nobody "$WORK/h"
  printf '#!/bin/sh\nfor a; do echo "[$a]"; done\n' >"$WORK/fake/pkexec"
  chmod 755 "$WORK/fake/pkexec"
  got=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i HOME="$WORK/h" \
    PATH="$WORK/fake:/usr/bin:/bin" DISPLAY=:0 WAYLAND_DISPLAY=wayland-0 \
    XDG_RUNTIME_DIR=/run/user/65534 SECRET=x sh "$programs/tidewipe-admin" cli log write hi)
  want="[$programs/tidewipe-admin] [--elevated-cli] [$WORK/h/.config/tidewipe]
[$WORK/h/.local/state/tidewipe/logfiles] [:0] [/run/user/65534/wayland-0] [] [log] [write] [hi]"
  [ "$(echo $got)" = "$(echo $want)" ] || bad "pkexec was asked: $got"
  env -i PATH=/usr/bin:/bin PKEXEC_UID=65534 sh "$programs/tidewipe-admin" --elevated-cli \
    "$WORK/h/.config/tidewipe" "$WORK/h/.local/state/tidewipe/logfiles" "" "" "" \
    log write "as root" >/dev/null || bad "the root side failed"
  grep -rq "as root" "$WORK/h/.local/state/tidewipe/logfiles" || bad "root wrote elsewhere"
  left=$(find "$WORK/h" -user 0)
  [ -z "$left" ] || bad "left to root in the user's folders: $left"
  ;;
deb)
  deb=$(ls "$BUILD"/package/*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || skip "no package: run ./run package first"
  contents=$(dpkg-deb -c "$deb" | awk '{print $6 $7 $8}')
  for f in ./usr/libexec/tidewipe/tidewipe ./usr/libexec/tidewipe/tidewipe-cli \
    ./usr/libexec/tidewipe/sentrel ./usr/libexec/tidewipe/help/general.html \
    ./usr/bin/tidewipe-cli-\>../libexec/tidewipe/tidewipe-cli \
    ./usr/share/man/man1/tidewipe-cli.1.gz ./usr/share/applications/org.tidewipe.Tidewipe.desktop \
    ./usr/share/icons/hicolor/scalable/apps/tidewipe.svg ./usr/lib/systemd/user/sentrel.service \
    ./usr/share/polkit-1/actions/org.tidewipe.Tidewipe.policy \
    ./usr/share/bash-completion/completions/tidewipe-cli ./usr/share/doc/tidewipe/copyright \
    ./usr/share/doc/tidewipe/changelog.gz; do
    grep -qxF -- "$f" <<<"$contents" || bad "the package lacks $f"
  done
  grep -v '^\./usr/' <<<"$contents" | grep -qv '^\./$' && bad "the package writes outside /usr"
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in libc6 libsqlite3 libsystemd0 libqt6widgets6 libstdc++6; do
    grep -q "\b$lib\b" <<<"$depends" || bad "Depends lacks $lib: $depends"
  done
  # No maintainer script: removal cannot touch users' settings, logs or receipts.
  dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qE 'postrm|prerm|postinst' &&
    bad "the package has maintainer scripts"
  ;;
esac
exit $fail
