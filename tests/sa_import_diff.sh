#!/usr/bin/env bash
# Differential test of "rules import spamassassin" against Perl, in two halves.
#
# Corpus: imports the rule files of Debian's spamassassin package; for every
# imported header test (the single-header rules and the lines of the meta
# rules) the messages of the public corpus it hits through the module
# (hdrweights scan) must equal those its original regex hits when Perl runs it
# (tests/sa_import_perl.pl) on the same header values, for at least 99% of
# the (test, message) pairs where either side hits. Every test that differs
# is printed with its counts.
#
# Random: 800 generated header rules against 300 generated values
# (tests/sa_import_random.pl) that the module reads as they are written; every
# translation that carries no note in the map must agree on every pair.
#
# Usage: tests/sa_import_diff.sh BUILD_DIR [CACHE_DIR]
#   BUILD_DIR holds bin/hdrweights and the module beside it; CACHE_DIR is
#   handed to scripts/fetch_corpora.sh (default: its own default).
# The module runs with no header-length limits (maxHeaderLength and
# maxTotalHeadersLength 0), so that every line meets every rule as Perl's do.
# KEEP=1 keeps the work directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
bin=$build/bin/hdrweights
cache=$("$root/scripts/fetch_corpora.sh" ${2:+"$2"})
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cp "$root/examples/client-cert.pem" "$work/"
sed -e 's|<maxHeaderLength>[0-9]*<|<maxHeaderLength>0<|' \
  -e 's|<maxTotalHeadersLength>[0-9]*<|<maxTotalHeadersLength>0<|' \
  "$root/examples/server.xml" >"$work/server.xml"
failed=0

# compare NAME MIN_PERCENT SKIP_NOTED RULES_PATH MESSAGE_DIR...
compare() {
  local name=$1 min=$2 skip_noted=$3 rules=$4 dir=$work/$1
  shift 4
  mkdir -p "$dir"
  "$bin" rules import spamassassin -o "$dir/sa.rules" --map "$dir/sa.map" \
    --skipped "$dir/sa.skipped" "$rules" 2>"$dir/import.txt"
  "$bin" rules check "$dir/sa.rules" >/dev/null
  # One single-line rule per (tested SpamAssassin rule, spelling): the rule
  # lines and the map lines are written in the same order.
  grep -av '^#' "$dir/sa.rules" >"$dir/lines"
  paste "$dir/lines" "$dir/sa.map" | SKIP_NOTED=$skip_noted DIR=$dir perl -ne '
    BEGIN { open RULES, ">", "$ENV{DIR}/test.rules"; open PERL, ">", "$ENV{DIR}/perl.rules";
            open NAMES, ">", "$ENV{DIR}/names"; print RULES "# version 04/18/2001/002\n"; }
    chomp; my @f = split /\t/, $_, -1;
    my ($line, $name, $header, $expr, $note) = ($f[0], $f[2], $f[3], $f[4], $f[7]);
    next if $ENV{SKIP_NOTED} && $note ne "";
    if ($header eq "meta") {
      # "NAME Header =~ /re/", several joined by " || " for an OR merged into one line
      my (@names, @exprs);
      for my $part (split / \|\| /, $expr) {
        my ($n, $h, undef, $e) = split / /, $part, 4;
        push @names, $n; push @exprs, $e; $header = $h;
      }
      ($name, $expr) = (join("|", @names), join("\t", @exprs));
    }
    my $key = "$name\t$header\t$expr";
    $id{$key} //= ++$n;
    printf RULES "%010d001001&-%s\n", $id{$key}, substr($line, 18);
    print PERL "$id{$key}\t$header\t$expr\n" unless $seen{$key}++;
    print NAMES "$id{$key}\t$name\n" unless $named{$key}++;'
  "$bin" rules encrypt --cert "$work/client-cert.pem" -o "$work/kelv" "$dir/test.rules"
  find "$@" -name '*.txt' | sort >"$dir/messages"
  "$bin" scan --config "$work/server.xml" --threshold 0 --jobs 2 "$@" 2>/dev/null |
    perl -ane 'my $p = $F[2]; $p =~ s|.*/||; $p =~ s/#1$//; my %s;
      for (@F[3..$#F]) { my ($id) = split /:/; print "$id\t$p\n" unless $s{$id}++; }' |
    sort -u >"$dir/ours"
  perl "$root/tests/sa_import_perl.pl" "$dir/perl.rules" <"$dir/messages" |
    perl -pe 's|\t.*/|\t|' | sort -u >"$dir/perl"

  local both ours_only perl_only tests messages total agree
  both=$(comm -12 "$dir/ours" "$dir/perl" | wc -l)
  ours_only=$(comm -23 "$dir/ours" "$dir/perl" | wc -l)
  perl_only=$(comm -13 "$dir/ours" "$dir/perl" | wc -l)
  tests=$(wc -l <"$dir/perl.rules")
  messages=$(wc -l <"$dir/messages")
  echo "sa_import_diff: $name: $tests header tests x $messages messages: $both pairs hit on" \
    "both sides, $ours_only only through the module, $perl_only only in Perl"
  {
    comm -23 "$dir/ours" "$dir/perl" | cut -f1 | sed 's/$/\tmodule/'
    comm -13 "$dir/ours" "$dir/perl" | cut -f1 | sed 's/$/\tperl/'
  } | sort | uniq -c | DIR=$dir perl -ane '
    BEGIN { open N, "<", "$ENV{DIR}/names"; while (<N>) { chomp; my ($i, $n) = split /\t/; $name{$i} = $n; } }
    printf "  differs: %-28s %5d only %s\n", $name{$F[1]}, $F[0],
      $F[2] eq "perl" ? "in Perl" : "through the module"'
  total=$((both + ours_only + perl_only))
  agree=$(perl -e "printf '%.2f', $total ? 100 * $both / $total : 100")
  echo "sa_import_diff: $name: agreement $agree% of $total pairs where either hits (at least $min%)"
  if perl -e "exit(($total == 0 || $both * 100 < $min * $total) ? 0 : 1)"; then
    failed=$((failed + 1))
  fi
}

compare corpus 99 "" "$cache/spamassassin" "$cache/corpus/spam" "$cache/corpus/ham"
cat "$work/corpus/import.txt"
mkdir -p "$work/generated"
perl "$root/tests/sa_import_random.pl" "$work/generated"
compare random 100 1 "$work/generated/random.cf" "$work/generated/msgs"
head -1 "$work/random/import.txt"

echo "sa_import_diff: $((2 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
