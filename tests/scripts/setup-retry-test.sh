#!/usr/bin/env bash
# scripts/setup.sh against a package mirror in the middle of a sync: apt-get
# (a stub on PATH) fails the index update the way apt does when an index has
# the wrong size. Setup must try again with a pause, and when the index stays
# bad, stop before any install with a line naming the index and the mirror;
# when the mirror settles within the tries, it goes on.
set -u
setup=$(cd "$(dirname "$0")/../../scripts" && pwd)/setup.sh
t=$(mktemp -d); trap 'rm -rf "$t"' EXIT
mkdir -p "$t/bin" "$t/etc/sources.list.d"
printf 'deb http://deb.debian.org/debian bookworm main\ndeb-src http://deb.debian.org/debian bookworm main\n' \
  > "$t/etc/sources.list"
index=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
cat > "$t/bin/apt-get" <<STUB
#!/bin/sh
echo "\$*" >> "$t/calls"
case \$1 in
update)
  n=\$(grep -c '^update' "$t/calls")
  if [ "\$n" -ge "\${STUB_GOOD_FROM:-999}" ]; then echo "Reading package lists..."; exit 0; fi
  echo "Err:9 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
  echo "E: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100;;
install) [ "\$(grep -c '^update' "$t/calls")" -ge "\${STUB_GOOD_FROM:-999}" ] && exit 0
  echo "The following packages have unmet dependencies:"; exit 100;;
esac
exit 0
STUB
printf '#!/bin/sh\nexit 1\n' > "$t/bin/dpkg-query"
printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo i386\nexit 0\n' > "$t/bin/dpkg"
chmod +x "$t/bin/"*
pass=0 fail=0
check() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $1"; fi; }

# The mirror stays bad: three tries, then one line naming the index.
: > "$t/calls"
out=$(PATH="$t/bin:$PATH" APT_ETC="$t/etc" VRO_APT_TRIES=3 VRO_APT_PAUSE=0 bash "$setup" 2>&1); rc=$?
check "setup ended 0 on a failed index" '[ $rc -ne 0 ]'
check "update not tried three times: $(grep -c '^update' "$t/calls")" '[ "$(grep -c "^update" "$t/calls")" = 3 ]'
check "install ran after the failed update: $(cat "$t/calls")" '[ "$(tail -n 1 "$t/calls" | cut -d" " -f1)" = update ]'
last=$(printf '%s\n' "$out" | tail -n 1)
check "last line does not name the index and the mirror: $last" \
  '[[ $last == "setup: the package index $index (File has unexpected size"*"mirror is at fault"*"run this command again later" ]]'
check "no pause announced between tries" '[ "$(printf "%s\n" "$out" | grep -c "trying again")" = 2 ]'

# The mirror settles at the third try: setup goes on and installs.
: > "$t/calls"
out=$(PATH="$t/bin:$PATH" APT_ETC="$t/etc" VRO_APT_TRIES=4 VRO_APT_PAUSE=0 STUB_GOOD_FROM=3 bash "$setup" 2>&1); rc=$?
check "setup failed although the mirror settled: $out" '[ $rc -eq 0 ]'
check "not installed after the update settled: $(cat "$t/calls")" '[ "$(tail -n 1 "$t/calls" | cut -d" " -f1)" = install ] && [ "$(grep -c "^update" "$t/calls")" = 3 ]'
echo "setup retry: $pass passed, $fail failed"
[ $fail -eq 0 ]
