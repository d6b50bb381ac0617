#!/usr/bin/perl
# Runs SpamAssassin-style header tests with Perl's own regex engine: for every
# rule of RULES (lines "ID<TAB>HEADER<TAB>/re/flags", more expressions after
# further tabs: the rule hits when any of them does) and every message file
# named on standard input, prints "ID<TAB>PATH" when the rule hits.
# A rule reads the values of every header whose name equals HEADER whatever
# its case (a ":raw" modifier is dropped: nothing is decoded), each value
# unfolded, its leading white space removed and a line feed appended, joined
# in message order, as SpamAssassin hands header values to its rules; a
# message without such a header is not tested.
use strict;
use warnings;
no warnings qw(regexp);  # generated patterns quantify empty parts on purpose

my ($rules_file) = @ARGV;
open(my $in, '<', $rules_file) or die "sa_import_perl: $rules_file: $!\n";
my @rules;
while (my $line = <$in>) {
  chomp $line;
  my ($id, $header, @exprs) = split /\t/, $line;
  $header =~ s/:raw$//;
  my @res;
  for my $expr (@exprs) {
    # As SpamAssassin does: the delimiters taken off, the text compiled as a
    # string (nothing interpolated), the flags put in front.
    my ($open, $text, $flags);
    if ($expr =~ m{^m?([^\w\s])(.*)([^\w\s])([a-z]*)$}s) {
      ($open, $text, $flags) = ($1, $2, $4);
    }
    die "sa_import_perl: rule $id: $expr is no match expression\n" unless defined $text;
    $flags =~ s/[og]//g;
    my $re = eval { length $flags ? qr/(?$flags)$text/ : qr/$text/ };
    die "sa_import_perl: rule $id: $expr does not compile: $@\n" unless defined $re;
    push @res, $re;
  }
  push @rules, [$id, lc $header, \@res];
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
    my ($id, $name, $res) = @$rule;
    next unless exists $values{$name};
    print "$id\t$path\n" if grep { $values{$name} =~ $_ } @$res;
  }
}
