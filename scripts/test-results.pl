#!/usr/bin/perl
# Accounts for every test a run started, from the GoogleTest-style XML each one writes.
#
#   test-results.pl process NAME STATUS RESULTS.xml|RESULTS_DIR
#       one program that ran outside CTest, ended with STATUS ("124" from timeout(1) is a hang);
#       a directory stands for all the results in it
#   test-results.pl ctest CTEST-JUNIT.xml RESULTS_DIR [CTEST.log]
#       every test CTest started, from its --output-junit file; the log gives a failure's cause
#   test-results.pl tally RESULTS_DIR...
#       prints every skip with its reason and every failure, then the closing line
#       "tests: N passed, M failed, K skipped"; exits 1 when anything failed
#
# A program whose results disagree with how it ended is one failed test: it wrote none, or wrote
# none that failed yet exited non-zero (a sanitizer's report at exit comes after the XML), or exited
# with the skip code while its results skip nothing. That failure is written as NAME.outcome.xml
# beside the results, so that the tally reads only XML.
use strict;
use warnings;

sub slurp {
  my ($path) = @_;
  open(my $in, '<', $path) or return undef;
  local $/;
  my $text = <$in>;
  close($in);
  return $text;
}

sub unescape {
  my ($text) = @_;
  $text =~ s/&#x0*A;/ /gi;
  $text =~ s/&#x0*D;//gi;
  $text =~ s/&lt;/</g;
  $text =~ s/&gt;/>/g;
  $text =~ s/&quot;/"/g;
  $text =~ s/&apos;/'/g;
  $text =~ s/&amp;/&/g;
  return $text;
}

sub escape {
  my ($text) = @_;
  $text =~ s/&/&amp;/g;
  $text =~ s/</&lt;/g;
  $text =~ s/>/&gt;/g;
  $text =~ s/"/&quot;/g;
  $text =~ s/[\r\n]+/ /g;
  return $text;
}

sub attribute {
  my ($tag, $name) = @_;
  return $tag =~ /\s\Q$name\E="([^"]*)"/ ? unescape($1) : undef;
}

# Each test case of a file: [name, outcome ("passed", "failed", "skipped"), message].
sub cases {
  my ($text) = @_;
  my @cases;
  my $suite = '';
  while ($text =~ m{<testsuite\s([^>]*)>|<testcase\s([^>]*?)(/>|>(.*?)</testcase>)}gs) {
    if (defined $1) {
      $suite = attribute(" $1", 'name') // '';
      next;
    }
    my ($tag, $body) = (" $2", $4 // '');
    my $name = attribute($tag, 'name') // '?';
    my $class = attribute($tag, 'classname') // $suite;
    $name = "$class.$name" if $class ne '' && $class ne $name;
    if ($body =~ /<(failure|error)\b([^>]*)/) {
      push @cases, [$name, 'failed', attribute($2, 'message') // ''];
    } elsif ($body =~ /<skipped\b([^>]*)/) {
      push @cases, [$name, 'skipped', attribute($1, 'message') // ''];
    } elsif ((attribute($tag, 'status') // '') eq 'notrun') {
      push @cases, [$name, 'skipped', 'disabled'];
    } else {
      push @cases, [$name, 'passed', ''];
    }
  }
  return @cases;
}

sub write_outcome {  # results xml, test name, "failed" or "skipped", message
  my ($xml, $name, $outcome, $message) = @_;
  (my $path = $xml) =~ s/\.xml$//;
  $path .= '.outcome.xml';
  my $inner = sprintf('<%s message="%s"/>', $outcome eq 'failed' ? 'failure' : 'skipped',
    escape($message));
  open(my $out, '>', $path) or die "test-results: cannot write $path: $!\n";
  printf $out qq{<?xml version="1.0" encoding="UTF-8"?>\n<testsuites name="%s">\n}
    . qq{<testsuite name="%s"><testcase name="how_it_ended">%s</testcase></testsuite>\n}
    . qq{</testsuites>\n}, escape($name), escape($name), $inner;
  close($out);
}

# ended: "passed", "failed" or "skipped", as the runner saw the program end; why: its cause.
# A directory stands for all the results in it, of a program that writes several files.
sub reconcile {
  my ($name, $ended, $why, $xml) = @_;
  my $text = slurp($xml);
  if ($xml !~ /\.xml$/) {
    mkdir($xml);
    $text = join('', map { slurp($_) // '' } glob("$xml/*.xml"));
    $text = undef if $text eq '';
    $xml = "$xml/$name.xml";
  }
  if (!defined $text) {
    if ($ended eq 'skipped') {
      write_outcome($xml, $name, 'skipped', "skipped without results: $why");
    } else {
      write_outcome($xml, $name, 'failed', "wrote no results ($why)");
    }
    return;
  }
  my @cases = cases($text);
  my %seen = map { $_->[1] => 1 } @cases;
  if (!@cases) {
    write_outcome($xml, $name, 'failed', "its results hold no test ($why)");
  } elsif ($ended eq 'failed' && !$seen{failed}) {
    write_outcome($xml, $name, 'failed', "results with no failure, yet it $why");
  } elsif ($ended eq 'skipped' && !$seen{skipped}) {
    write_outcome($xml, $name, 'failed', "ended as skipped, yet its results skip nothing");
  }
}

sub status_meaning {
  my ($status) = @_;
  return ('passed', 'exited 0') if $status eq '0';
  return ('skipped', 'exited with the skip code 77') if $status eq '77';
  return ('failed', 'did not end within its time limit') if $status eq '124' || $status eq '137';
  return ('failed', "exited with status $status");
}

my $command = shift @ARGV // '';
if ($command eq 'process') {
  my ($name, $status, $xml) = @ARGV;
  die "usage: test-results.pl process NAME STATUS RESULTS.xml|DIR\n" unless defined $xml;
  reconcile($name, status_meaning($status), $xml);
} elsif ($command eq 'ctest') {
  my ($junit, $dir, $log) = @ARGV;
  die "usage: test-results.pl ctest JUNIT RESULTS_DIR [LOG]\n" unless defined $dir;
  my $text = slurp($junit);
  my @tests;
  while (defined $text && $text =~ m{<testcase\s([^>]*)>}g) {
    push @tests, [attribute(" $1", 'name'), attribute(" $1", 'status') // ''];
  }
  # "12/20 Test #12: name ....***Timeout 300.01 sec": the cause CTest gives for a failure.
  my %cause;
  for my $line (split /\n/, slurp($log // '') // '') {
    $cause{$1} = $2 if $line =~ /Test\s+#\d+: (\S+) \.*\s*\*+(\S.*?)\s+[\d.]+ sec/;
  }
  if (!@tests) {
    write_outcome("$dir/ctest.xml", 'ctest', 'failed', 'CTest started no test');
  }
  for my $test (@tests) {
    my ($name, $status) = @$test;
    my ($ended, $why) = ('passed', 'passed under CTest');
    if ($status eq 'fail') {
      ($ended, $why) = ('failed', 'failed under CTest: ' . ($cause{$name} // 'non-zero exit'));
    } elsif ($status eq 'notrun' || $status eq 'disabled') {
      ($ended, $why) = ('skipped', 'not run by CTest');
    }
    reconcile($name, $ended, $why, "$dir/$name.xml");
  }
} elsif ($command eq 'tally') {
  my ($passed, $failed, $skipped) = (0, 0, 0);
  my (@skips, @failures);
  for my $dir (@ARGV) {
    for my $xml (sort glob("$dir/*.xml")) {
      (my $where = $xml) =~ s{.*/build/}{};
      for my $case (cases(slurp($xml) // '')) {
        my ($name, $outcome, $message) = @$case;
        $message =~ s/\s+/ /g;
        if ($outcome eq 'passed') {
          $passed++;
        } elsif ($outcome eq 'skipped') {
          $skipped++;
          push @skips, "  $name ($where): $message";
        } else {
          $failed++;
          push @failures, "  $name ($where): " . substr($message, 0, 300);
        }
      }
    }
  }
  if ($passed + $failed + $skipped == 0) {
    $failed = 1;
    push @failures, '  no test wrote any results';
  }
  print "skipped:\n", join("\n", @skips), "\n" if @skips;
  print "failed:\n", join("\n", @failures), "\n" if @failures;
  print "tests: $passed passed, $failed failed, $skipped skipped\n";
  exit($failed == 0 ? 0 : 1);
} else {
  die "usage: test-results.pl process|ctest|tally ...\n";
}
