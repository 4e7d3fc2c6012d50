#!/usr/bin/perl
# Reads velmoctl doctor's JSON with a JSON parser and prints the verdict of one check: "none"
# when it is absent, the worst when it comes more than once. Dies when the document is not whole:
# a count that disagrees with the checks, or a warning or fault without its mend.
#   doctor_verdict.pl FILE CHECK
use strict;
use warnings;
use JSON::PP;

my ($file, $check) = @ARGV;
open my $in, '<', $file or die "$file: $!\n";
my $doc = decode_json(do { local $/; <$in> });
my %rank = (ok => 1, warning => 2, fault => 3);
my $worst = 'none';
my %count = (fault => 0, warning => 0);
for my $c (@{ $doc->{checks} }) {
  die "unknown verdict $c->{verdict}\n" unless $rank{ $c->{verdict} };
  $count{ $c->{verdict} }++;
  die "$c->{check}: a $c->{verdict} without its mend\n"
    if $c->{verdict} ne 'ok' && $c->{mend} eq '';
  next unless $c->{check} eq $check;
  $worst = $c->{verdict} if $worst eq 'none' || $rank{ $c->{verdict} } > $rank{$worst};
}
for my $kind ('fault', 'warning') {
  die "\"${kind}s\" says $doc->{\"${kind}s\"}, the checks hold $count{$kind}\n"
    if $doc->{"${kind}s"} != $count{$kind};
}
print "$worst\n";
