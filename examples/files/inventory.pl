#!/usr/bin/perl
# Lists the programs in /usr/local/bin; no ruleset knows it.
use strict;
use warnings;
opendir(my $dir, "/usr/local/bin") or exit 0;
print "$_\n" for sort grep { !/^\./ } readdir($dir);
