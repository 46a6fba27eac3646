#!/usr/bin/env bash
# Builds the Debian packages from a built tree (./dev package, and the
# package test of ./dev test, which needs only the service's):
#   packaging/build-packages.sh [--service-only] BUILD_DIR OUT_DIR
# voicemail-mailer: the program without Qt (BUILD_DIR/voicemail-mailer-headless
# of a Qt build, or BUILD_DIR/voicemail-mailer of a build without Qt), the
# systemd unit, kfs and their manual pages (help2man, from --help).
# voicemail-mailer-desktop: the windowed program as voicemail-mailer-desktop
# and its menu entry; made only from a Qt build.
# Versions come from packaging/deb/changelog; dependencies from dpkg-shlibdeps.
set -euo pipefail

service_only=0
if [ "${1:-}" = --service-only ]; then
  service_only=1
  shift
fi
if [ $# -ne 2 ]; then
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
version=$(dpkg-parsechangelog -l "$here/deb/changelog" -S Version)
arch=$(dpkg --print-architecture)
# Each package's tree is $stage/debian/PACKAGE, where dpkg-shlibdeps looks.
stage="$build/packaging"
mkdir -p "$stage/debian"
maintainer="voicemail-mailer maintainers <maintainers@voicemail-mailer.example.org>"

fail() {
  echo "build-packages: $*" >&2
  exit 1
}

needs_qt() {
  readelf -d "$1" | grep -q 'NEEDED.*libQt'
}

# install_binary SRC DEST: stripped as Debian's tools strip.
install_binary() {
  install -D -m 0755 "$1" "$2"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$2"
}

# install_man PROGRAM NAME SUMMARY DEST_DIR: a manual page from PROGRAM --help.
install_man() {
  mkdir -p "$4"
  help2man --no-info --no-discard-stderr --version-string="$version" --name="$3" \
    --output="$4/$2.1" "$1"
  gzip -9n "$4/$2.1"
}

# install_docs PACKAGE ROOT: the copyright file and the changelog every package carries.
install_docs() {
  local doc="$2/usr/share/doc/$1"
  install -D -m 0644 "$here/deb/copyright" "$doc/copyright"
  gzip -9nc "$here/deb/changelog" >"$doc/changelog.gz"
  chmod 0644 "$doc/changelog.gz"
}

# shlib_depends PACKAGE FILE...: the Depends of the ELF files (paths in the
# package's tree), as dpkg-shlibdeps finds them.
shlib_depends() {
  local package=$1
  shift
  printf 'Source: voicemail-mailer\n\nPackage: %s\nArchitecture: any\n' "$package" \
    >"$stage/debian/control"
  (cd "$stage" && dpkg-shlibdeps -O "${@/#/debian/$package/}") | sed -n 's/^shlibs:Depends=//p'
}

# write_control PACKAGE ROOT DEPENDS DESCRIPTION...: DEBIAN/control and md5sums.
write_control() {
  local package=$1 root=$2 depends=$3
  shift 3
  mkdir -p "$root/DEBIAN"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  {
    echo "Package: $package"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    echo "Depends: $depends"
    echo "Section: mail"
    echo "Priority: optional"
    printf 'Description: %s\n' "$1"
    shift
    for line in "$@"; do printf ' %s\n' "$line"; done
  } >"$root/DEBIAN/control"
  chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
}

build_deb() {
  dpkg-deb --root-owner-group -Zxz --build "$stage/debian/$1" "$out/${1}_${version}_${arch}.deb" >/dev/null
  echo "$out/${1}_${version}_${arch}.deb"
}

service_package() {
  local root="$stage/debian/voicemail-mailer" program="$build/voicemail-mailer-headless"
  [ -x "$program" ] || program="$build/voicemail-mailer"
  [ -x "$program" ] || fail "no program in $build (build voicemail-mailer-headless)"
  needs_qt "$program" && fail "$program needs Qt; the service package must not"
  readelf -d "$program" | grep -q 'NEEDED.*libsystemd' ||
    fail "$program was built without libsystemd; the unit's Type=notify needs it"
  [ -x "$build/tools/kfs/kfs" ] || fail "no kfs in $build/tools/kfs (build kfs)"
  rm -rf "$root"
  mkdir -p "$root/DEBIAN"  # marks the tree's root for dpkg-shlibdeps
  install_binary "$program" "$root/usr/bin/voicemail-mailer"
  install_binary "$build/tools/kfs/kfs" "$root/usr/bin/kfs"
  install -D -m 0644 "$here/voicemail-mailer.service" \
    "$root/lib/systemd/system/voicemail-mailer.service"
  install_man "$root/usr/bin/voicemail-mailer" voicemail-mailer \
    "mail new voice-mail recordings to their owners over SMTP" "$root/usr/share/man/man1"
  install_man "$root/usr/bin/kfs" kfs "inspect, check and pack voicemail-mailer's table files" \
    "$root/usr/share/man/man1"
  install_docs voicemail-mailer "$root"
  local depends
  depends=$(shlib_depends voicemail-mailer usr/bin/voicemail-mailer usr/bin/kfs)
  write_control voicemail-mailer "$root" "adduser, $depends" \
    "voice-mail to e-mail gateway (service)" \
    "Watches a voice-mail system's directory tree and mails every new" \
    "recording to the owner of its mailbox over SMTP, with or without the" \
    "recording attached, keeping a log of what happened to each." \
    "." \
    "This package holds the program without windows, run as a systemd" \
    "service by its own system user over /var/lib/voicemail-mailer, its" \
    "administration commands (settings, mailboxes, log, status) and kfs, the" \
    "tool for its table files."
  for script in postinst prerm postrm; do
    install -m 0755 "$here/deb/voicemail-mailer.$script" "$root/DEBIAN/$script"
  done
  build_deb voicemail-mailer
}

desktop_package() {
  local root="$stage/debian/voicemail-mailer-desktop" program="$build/voicemail-mailer"
  if [ ! -x "$build/voicemail-mailer-headless" ] || ! needs_qt "$program"; then
    echo "build-packages: $build is not a Qt build; no voicemail-mailer-desktop" >&2
    return 0
  fi
  rm -rf "$root"
  mkdir -p "$root/DEBIAN"  # marks the tree's root for dpkg-shlibdeps
  install_binary "$program" "$root/usr/bin/voicemail-mailer-desktop"
  install -D -m 0644 "$here/voicemail-mailer.desktop" \
    "$root/usr/share/applications/voicemail-mailer.desktop"
  install_man "$root/usr/bin/voicemail-mailer-desktop" voicemail-mailer-desktop \
    "mail new voice-mail recordings to their owners over SMTP, with windows" \
    "$root/usr/share/man/man1"
  install_docs voicemail-mailer-desktop "$root"
  write_control voicemail-mailer-desktop "$root" \
    "$(shlib_depends voicemail-mailer-desktop usr/bin/voicemail-mailer-desktop)" \
    "voice-mail to e-mail gateway (windows)" \
    "Watches a voice-mail system's directory tree and mails every new" \
    "recording to the owner of its mailbox over SMTP, with or without the" \
    "recording attached, keeping a log of what happened to each." \
    "." \
    "This package holds the program with its windows (Qt 6): the settings" \
    "form, the mailbox list and the log, over the tables of the directory" \
    "it is started in."
  build_deb voicemail-mailer-desktop
}

service_package
[ "$service_only" -eq 1 ] || desktop_package
