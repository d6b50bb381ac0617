#!/usr/bin/perl
# Runs SpamAssassin-style header tests with Perl's own regex engine: for every
# rule of RULES (lines "ID<TAB>HEADER<TAB>/re/flags") and every message file
# named on standard input, prints "ID<TAB>PATH" when the rule hits.
# A rule reads the values of every header whose name equals HEADER whatever
# its case (a ":raw" modifier is dropped: nothing is decoded), each value
# unfolded, its leading white space removed and a line feed appended, joined
# in message order, as SpamAssassin hands header values to its rules; a
# message without such a header is not tested.
use strict;
use warnings;

my ($rules_file) = @ARGV;
open(my $in, '<', $rules_file) or die "sa_import_perl: $rules_file: $!\n";
my @rules;
while (my $line = <$in>) {
  chomp $line;
  my ($id, $header, $expr) = split /\t/, $line, 3;
  $header =~ s/:raw$//;
  my $re = eval "qr$expr";
  if (!defined $re) {
    $expr =~ s/^m//;
    $re = eval "qr$expr";
  }
  die "sa_import_perl: rule $id: $expr does not compile: $@\n" unless defined $re;
  push @rules, [$id, lc $header, $re];
}
close $in;

while (my $path = <STDIN>) {
  chomp $path;
  open(my $msg, '<:raw', $path) or die "sa_import_perl: $path: $!\n";
  local $/;
  my $text = <$msg>;
  close $msg;
  my ($head) = split /\r?\n\r?\n/, $text, 2;
  $head =~ s/\r?\n([ \t])/$1/g;    # unfold
  my %values;
  for my $line (split /\r?\n/, $head) {
    next unless $line =~ /^([^:\s]+):(.*)$/s;
    my ($name, $value) = (lc $1, $2);
    $value =~ s/^\s+//;
    $values{$name} .= "$value\n";
  }
  for my $rule (@rules) {
    my ($id, $name, $re) = @$rule;
    next unless exists $values{$name};
    print "$id\t$path\n" if $values{$name} =~ $re;
  }
}
