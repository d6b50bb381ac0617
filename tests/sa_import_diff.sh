#!/usr/bin/env bash
# Differential test of "rules import spamassassin" against Perl: imports the
# rule files of Debian's spamassassin package, then, for every imported
# header test (the single-header rules and the lines of the meta rules), the
# messages of the public corpus it hits through the module (hdrweights scan)
# must equal those its original regex hits when Perl runs it
# (tests/sa_import_perl.pl) on the same header values. Counts (test,
# message) pairs where either side hits; fails below 99% agreement and prints
# every test that differs with its counts.
#
# Usage: tests/sa_import_diff.sh BUILD_DIR [CACHE_DIR]
#   BUILD_DIR holds bin/hdrweights and the module beside it; CACHE_DIR is
#   handed to scripts/fetch_corpora.sh (default: its own default).
# The module runs with no header-length limits (maxHeaderLength and
# maxTotalHeadersLength 0), so that every line meets every rule as Perl's do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
bin=$build/bin/hdrweights
cache=$("$root/scripts/fetch_corpora.sh" ${2:+"$2"})
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

"$bin" rules import spamassassin -o "$work/sa.rules" --map "$work/sa.map" \
  --skipped "$work/sa.skipped" "$cache/spamassassin" 2>"$work/import.txt"
"$bin" rules check "$work/sa.rules" >/dev/null

# One single-line rule per (tested SpamAssassin rule, spelling): the rule
# lines and the map lines are written in the same order.
grep -av '^#' "$work/sa.rules" >"$work/lines"
paste "$work/lines" "$work/sa.map" | perl -ne '
  chomp; my @f = split /\t/, $_, -1;
  my ($line, $name, $header, $expr) = ($f[0], $f[2], $f[3], $f[4]);
  if ($header eq "meta") { ($name, $header, undef, $expr) = split / /, $expr, 4; }
  my $key = "$name\t$header\t$expr";
  $id{$key} //= ++$n;
  printf RULES "%010d001001&-%s\n", $id{$key}, substr($line, 18);
  print PERL "$id{$key}\t$header\t$expr\n" unless $seen{$key}++;
  print NAMES "$id{$key}\t$name\n" unless $named{$key}++;
  BEGIN { open RULES, ">", "'"$work"'/test.rules"; open PERL, ">", "'"$work"'/perl.rules";
          open NAMES, ">", "'"$work"'/names"; print RULES "# version 04/18/2001/002\n"; }'

cp "$root/examples/client-cert.pem" "$work/"
sed -e 's|<maxHeaderLength>[0-9]*<|<maxHeaderLength>0<|' \
  -e 's|<maxTotalHeadersLength>[0-9]*<|<maxTotalHeadersLength>0<|' \
  "$root/examples/server.xml" >"$work/server.xml"
"$bin" rules encrypt --cert "$work/client-cert.pem" -o "$work/kelv" "$work/test.rules"

find "$cache/corpus/spam" "$cache/corpus/ham" -name '*.txt' | sort >"$work/messages"
"$bin" scan --config "$work/server.xml" --threshold 0 --jobs 2 "$cache/corpus/spam" \
  "$cache/corpus/ham" 2>/dev/null |
  perl -ane 'my $p = $F[2]; $p =~ s|.*/||; $p =~ s/#1$//; my %s; for (@F[3..$#F]) { my ($id) = split /:/; print "$id\t$p\n" unless $s{$id}++; }' |
  sort -u >"$work/ours"
perl "$root/tests/sa_import_perl.pl" "$work/perl.rules" <"$work/messages" |
  perl -pe 's|\t.*/|\t|' | sort -u >"$work/perl"

both=$(comm -12 "$work/ours" "$work/perl" | wc -l)
ours_only=$(comm -23 "$work/ours" "$work/perl" | wc -l)
perl_only=$(comm -13 "$work/ours" "$work/perl" | wc -l)
tests=$(wc -l <"$work/perl.rules")
messages=$(wc -l <"$work/messages")
cat "$work/import.txt"
echo "sa_import_diff: $tests header tests x $messages messages: $both pairs hit on both sides," \
  "$ours_only only through the module, $perl_only only in Perl"
{
  comm -23 "$work/ours" "$work/perl" | cut -f1 | sed 's/$/\tmodule/'
  comm -13 "$work/ours" "$work/perl" | cut -f1 | sed 's/$/\tperl/'
} | sort | uniq -c | perl -ane 'BEGIN { open N, "<", "'"$work"'/names"; while (<N>) { chomp; my ($i, $n) = split /\t/; $name{$i} = $n; } }
  printf "  differs: %-28s %5d only %s\n", $name{$F[1]}, $F[0], $F[2] eq "perl" ? "in Perl" : "through the module"'
total=$((both + ours_only + perl_only))
agree=$(perl -e "printf '%.2f', $total ? 100 * $both / $total : 100")
echo "sa_import_diff: agreement $agree% of $total pairs where either hits"
if perl -e "exit(($total == 0 || $both * 100 < 99 * $total) ? 0 : 1)"; then
  echo "sa_import_diff: 0 passed, 1 failed"
  exit 1
fi
echo "sa_import_diff: 1 passed, 0 failed"
