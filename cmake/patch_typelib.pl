#!/usr/bin/perl
# Sets in a type library what widl cannot express: the predeclared instance of a coclass, and
# the version and non-extensible flag of a dispinterface. Edits the MSFT file in place.
#   patch_typelib.pl FILE predeclid=GUID dispinterface=GUID:MAJOR.MINOR
use strict;
use warnings;

my ($file, @edits) = @ARGV;
open(my $in, '<:raw', $file) or die "$file: $!";
my $data = do { local $/; <$in> };
close $in;

sub int32 { unpack('l<', substr($data, $_[0], 4)) }
sub put32 { substr($data, $_[0], 4) = pack('l<', $_[1]) }

# A GUID as the file stores it: Data1-3 little-endian, Data4 as bytes.
sub guid_bytes {
  my @p = split /-/, $_[0];
  return pack('V v v', hex $p[0], hex $p[1], hex $p[2]) . pack('H4 H12', $p[3], $p[4]);
}

die "$file: not an MSFT type library\n" unless substr($data, 0, 4) eq 'MSFT';
my $typeinfos = int32(0x20);
my $varflags = int32(0x14);
my $offsets = 0x54 + (($varflags & 0x100) ? 4 : 0);
my $segdir = $offsets + 4 * $typeinfos;
my $typeinfo_table = int32($segdir + 0 * 16);
my $guid_table = int32($segdir + 5 * 16);

# The typeinfo entry (0x64 bytes each, in order) whose GUID is `$guid`.
sub entry_of {
  my $want = guid_bytes($_[0]);
  for my $i (0 .. $typeinfos - 1) {
    my $entry = $typeinfo_table + $i * 0x64;
    my $posguid = int32($entry + 0x2c);
    return $entry if $posguid >= 0 && substr($data, $guid_table + $posguid, 16) eq $want;
  }
  die "$file: no typeinfo with GUID $_[0]\n";
}

for my $edit (@edits) {
  if ($edit =~ /^predeclid=(.+)$/) {
    my $entry = entry_of($1);
    put32($entry + 0x30, int32($entry + 0x30) | 0x8);    # TYPEFLAG_FPREDECLID
  } elsif ($edit =~ /^dispinterface=(.+):(\d+)\.(\d+)$/) {
    my $entry = entry_of($1);
    put32($entry + 0x30, int32($entry + 0x30) | 0x80);   # TYPEFLAG_FNONEXTENSIBLE
    put32($entry + 0x38, $2 | ($3 << 16));                # major in the low word
  } else {
    die "unknown edit $edit\n";
  }
}

open(my $out, '>:raw', $file) or die "$file: $!";
print $out $data;
close $out;
