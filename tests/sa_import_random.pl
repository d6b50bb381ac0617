#!/usr/bin/perl
# Writes the synthetic half of the differential test of the SpamAssassin
# import into DIR: DIR/random.cf, 800 header rules with random regexes over a
# small alphabet (literals, classes, shorthands, anchors, \b, groups,
# alternations, greedy, lazy and counted repetitions, /i), and DIR/msgs/, 300
# messages whose Subject values use the same alphabet, written as the module
# reads them (single spaces, none at either end), so that every difference
# between the module and Perl is one of translation. Fixed seeds: the same
# files on every run.
use strict;
use warnings;

my ($dir) = @ARGV;
srand(4711);
my @lit = ('a', 'b', 'A', 'B', '0', '1', '_', '-', ':', '\.', ' ');
sub pick { $_[int(rand(@_))] }
sub quant { pick('', '', '', '*', '+', '?', '{1,2}', '{2}', '*?', '+?', '{0,3}') }
sub atom {
  my ($depth) = @_;
  my $r = rand();
  return pick(@lit) if $r < 0.35;
  return pick('[a-c]', '[^b]', '[ab0]', '[^\s]', '[\w.]', '[A-Z]', '[-a]') if $r < 0.5;
  return pick('\d', '\w', '\s', '\W', '\S', '.', '\D') if $r < 0.65;
  return pick('\b', '^', '$') if $r < 0.72;
  if ($depth < 3) {
    my ($x, $y) = (sequence($depth + 1), sequence($depth + 1));
    return pick("(?:$x|$y)", "($x)", "(?:$x)") if $r < 0.9;
  }
  return pick(@lit);
}
sub sequence {
  my ($depth) = @_;
  return join '', map { my $a = atom($depth); $a =~ /^(?:\^|\$|\\b)$/ ? $a : $a . quant() }
    1 .. 1 + int(rand(3));
}
open(my $cf, '>', "$dir/random.cf") or die "sa_import_random: $dir: $!\n";
for my $i (1 .. 800) {
  printf $cf "header R%d Subject =~ /%s/%s\nscore R%d 1\n", $i, sequence(0), pick('', '', 'i'), $i;
}
close $cf;
srand(99);
my @chars = split //, 'abAB01_-:. x';
mkdir "$dir/msgs";
for my $i (1 .. 300) {
  my $value = join '', map { $chars[int(rand(@chars))] } 1 .. int(rand(14));
  $value =~ s/\s+/ /g;
  $value =~ s/^ | $//g;
  my $sep = rand() < 0.5 ? ': ' : ':';
  open(my $msg, '>', sprintf("%s/msgs/m%04d.txt", $dir, $i)) or die "sa_import_random: $!\n";
  print $msg "From: x\@y\nSubject$sep$value\n\nbody\n";
  close $msg;
}
