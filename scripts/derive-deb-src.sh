#!/usr/bin/env bash
# Prints deb822 "deb-src" stanzas that mirror the machine's enabled "deb"
# entries for its own release (suites "CODENAME" and "CODENAME-*"), read from
# /etc/apt/sources.list, *.list (one-line format) and *.sources (deb822).
# Entries for other suites (third-party repositories) are left out: they
# often publish no sources, and apt-get update would fail on them.
# APT_ETC names another configuration folder (for tests).
set -euo pipefail
etc=${APT_ETC:-/etc/apt}
codename=${VRO_CODENAME:-$(. /etc/os-release 2>/dev/null; echo "${VERSION_CODENAME:-}")}
[ -n "$codename" ] || { echo "derive-deb-src: no release codename" >&2; exit 1; }

ours() { # suite -> 0 when it belongs to this release
  case $1 in "$codename" | "$codename"-*) return 0;; esac
  return 1
}
emit() { # uris suites components signed-by
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n' "$1" "$2" "$3"
  [ -n "$4" ] && printf 'Signed-By: %s\n' "$4"
  printf '\n'
}

# One-line format: deb [options] uri suite component...
for f in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  while read -r type rest; do
    [ "$type" = deb ] || continue
    opts=""
    if [[ $rest == \[* ]]; then opts=${rest%%]*}; opts=${opts#[}; rest=${rest#*]}; fi
    read -r uri suite comps <<<"$rest"
    ours "$suite" || continue
    signed=""
    for o in $opts; do case $o in signed-by=*) signed=${o#signed-by=};; esac; done
    emit "$uri" "$suite" "$comps" "$signed"
  done < <(sed -e 's/#.*//' "$f")
done

# deb822: stanzas separated by blank lines; comment lines are dropped.
for f in "$etc"/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk -v codename="$codename" '
    function flush(   n, i, s, keep) {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no" && uris != "") {
        n = split(suites, s, /[ \t]+/); keep = ""
        for (i = 1; i <= n; i++)
          if (s[i] == codename || index(s[i], codename "-") == 1) keep = keep (keep == "" ? "" : " ") s[i]
        if (keep != "") {
          printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", uris, keep, comps
          if (signed != "") printf "Signed-By: %s\n", signed
          printf "\n"
        }
      }
      types = uris = suites = comps = signed = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { if (k == "signed-by") signed = signed "\n" $0; next }   # continued field
    {
      key = $0; sub(/:.*/, "", key); val = $0; sub(/^[^:]*:[ \t]*/, "", val)
      k = tolower(key)
      if (k == "types") types = val; else if (k == "uris") uris = val
      else if (k == "suites") suites = val; else if (k == "components") comps = val
      else if (k == "signed-by") signed = val; else if (k == "enabled") enabled = val
    }
    END { flush() }' "$f"
done
