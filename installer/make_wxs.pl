#!/usr/bin/perl
# Writes the WiX source of the add-in's Windows Installer package for one bitness: the three
# servers in one program folder, registered through the package's own registry entries (as
# Windows Installer asks, rather than by calling their self-registration), the application
# directory's files beside them, and PathVELMO_SW2 so that the first start-up finds that folder.
# Every identifier of a class, interface or type library is read from the IDL that declares it.
#
#   make_wxs.pl [--sdk=LIST] x64|x86 VERSION BIN_DIR APP_DIR OUT.wxs IDL_DIR...    VERSION: a.b.c.d
#
# LIST names the SDK's files, one "folder|file" a line (folder under the program folder, such as
# SDK/include); they are installed beside the servers.
use strict;
use warnings;
use Digest::MD5 qw(md5_hex);
use File::Basename qw(dirname);
use File::Spec;

my $sdk_list;
@ARGV = grep { /^--sdk=(.*)/ ? ($sdk_list = $1, 0) : 1 } @ARGV;
my ($arch, $version, $bin, $app, $out, @idl_dirs) = @ARGV;
die "usage: make_wxs.pl [--sdk=LIST] x64|x86 VERSION BIN_DIR APP_DIR OUT.wxs IDL_DIR...
"
  unless @idl_dirs;
die "make_wxs.pl: architecture must be x64 or x86\n" unless $arch eq 'x64' || $arch eq 'x86';
die "make_wxs.pl: version must be four numbers, not '$version'\n"
  unless $version =~ /^\d+\.\d+\.\d+\.\d+$/;
my $win64 = $arch eq 'x64';
# wixl takes a file's Source relative to the folder of the .wxs.
$bin = File::Spec->abs2rel(File::Spec->rel2abs($bin), File::Spec->rel2abs(dirname($out)));
$app = File::Spec->abs2rel(File::Spec->rel2abs($app), File::Spec->rel2abs(dirname($out)));

# Fixed for ever: a later version of the package upgrades the earlier by these.
my %product = (x64 => '5CDD61D4-E098-4581-936B-B5639D92341A',
               x86 => '09639366-EB28-4367-A0FA-0C4D53FDFEC9');
my %upgrade = (x64 => 'F13B095D-1B4F-444A-B905-FECD2FBE04DD',
               x86 => 'A3FAB822-CD81-4B1D-9461-E98E74AFB140');
my $automation_marshaller = '{00020424-0000-0000-C000-000000000046}';
my $dispatch_marshaller = '{00020420-0000-0000-C000-000000000046}';

# A component's GUID stays the same from build to build: it is made from its name.
sub component_guid {
  my $h = uc md5_hex("VELMOSWGlobalLib installer $arch $_[0]");
  return join '-', substr($h, 0, 8), substr($h, 8, 4), '4' . substr($h, 13, 3),
    substr($h, 16, 4), substr($h, 20, 12);
}

# The declarations of an IDL file: kind, name and attributes of each that has attributes.
sub declarations {
  my ($name) = @_;
  my ($file) = grep { -f } map { "$_/$name" } @idl_dirs;
  die "make_wxs.pl: no $name in @idl_dirs\n" unless $file;
  open my $in, '<', $file or die "make_wxs.pl: $file: $!\n";
  local $/;
  my $text = <$in>;
  $text =~ s{//[^\n]*}{}g;
  my @found;
  while ($text =~ /\[([^\[\]]*)\]\s*(library|coclass|interface|dispinterface)\s+(\w+)/g) {
    my ($attributes, $kind, $name) = ($1, $2, $3);
    my %d = (kind => $kind, name => $name);
    ($d{uuid}) = $attributes =~ /uuid\(([0-9A-Fa-f-]+)\)/ or next;
    $d{uuid} = '{' . uc($d{uuid}) . '}';
    ($d{version}) = $attributes =~ /version\(([\d.]+)\)/;
    ($d{help}) = $attributes =~ /helpstring\("([^"]*)"\)/;
    $d{dual} = $attributes =~ /\bdual\b/ ? 1 : 0;
    push @found, \%d;
  }
  return @found;
}

sub xml { my $t = shift; $t =~ s/&/&amp;/g; $t =~ s/</&lt;/g; $t =~ s/>/&gt;/g; $t =~ s/"/&quot;/g; $t }

sub value {
  my ($key, $name, $value) = @_;
  my $named = defined $name ? qq( Name="$name") : '';
  return qq(          <RegistryValue Root="HKCR" Key="@{[xml($key)]}"$named Type="string" Value="@{[xml($value)]}"/>\n);
}

# What one server registers: its classes, its type library and the interfaces it declares.
sub registration {
  my ($file_id, @idls) = @_;
  my @d = map { declarations($_) } @idls;
  my ($library) = grep { $_->{kind} eq 'library' } @d;
  die "make_wxs.pl: no library in @idls\n" unless $library;
  my $lib = $library->{uuid};
  my $path = "[#$file_id]";
  my $entries = '';
  for my $c (grep { $_->{kind} eq 'coclass' } @d) {
    my $key = "CLSID\\$c->{uuid}";
    my $prog_id = "$library->{name}.$c->{name}";
    $entries .= value($key, undef, $c->{name});
    $entries .= value("$key\\InprocServer32", undef, $path);
    $entries .= value("$key\\InprocServer32", 'ThreadingModel', 'Apartment');
    $entries .= value("$key\\ProgID", undef, $prog_id);
    $entries .= value("$key\\TypeLib", undef, $lib);
    $entries .= value("$key\\Version", undef, $c->{version} // '1.0');
    $entries .= value($prog_id, undef, $c->{name});
    $entries .= value("$prog_id\\CLSID", undef, $c->{uuid});
  }
  my $tl = "TypeLib\\$lib\\$library->{version}";
  $entries .= value($tl, undef, $library->{help} // $library->{name});
  $entries .= value("$tl\\0\\" . ($win64 ? 'win64' : 'win32'), undef, $path);
  $entries .= value("$tl\\FLAGS", undef, '0');
  $entries .= value("$tl\\HELPDIR", undef, '[INSTALLDIR]');
  for my $i (grep { $_->{kind} =~ /interface$/ } @d) {
    my $key = "Interface\\$i->{uuid}";
    my $marshaller = $i->{kind} eq 'dispinterface' ? $dispatch_marshaller : $automation_marshaller;
    $entries .= value($key, undef, $i->{name});
    $entries .= value("$key\\ProxyStubClsid", undef, $marshaller);
    $entries .= value("$key\\ProxyStubClsid32", undef, $marshaller);
    $entries .= value("$key\\TypeLib", undef, $lib);
    $entries .= value("$key\\TypeLib", 'Version', $library->{version});
  }
  return $entries;
}

my $w64 = $win64 ? ' Win64="yes"' : '';
sub server {
  my ($name, @idls) = @_;
  my $guid = component_guid($name);
  my $extra = '';
  if ($name eq 'VELMOSWGlobalLib') {
    # Where start-up looks for the application directory on its first run, in this bitness's
    # view of the machine hive.
    $extra = qq(          <RegistryValue Root="HKLM" Key="SOFTWARE\\MOLTRA\\USERS" Name="PathVELMO_SW2" Type="string" Value="[INSTALLDIR]"/>\n);
  }
  return qq(        <Component Id="$name" Guid="{$guid}"$w64>\n) .
    qq(          <File Id="$name.dll" Name="$name.dll" Source="$bin/$name.dll" KeyPath="yes"/>\n) .
    registration("$name.dll", @idls) . $extra . qq(        </Component>\n);
}

# velmoctl.exe, beside the servers it checks and the registry it works on.
sub tool {
  my $guid = component_guid('velmoctl');
  return qq(        <Component Id="velmoctl" Guid="{$guid}"$w64>\n) .
    qq(          <File Id="velmoctl.exe" Name="velmoctl.exe" Source="$bin/velmoctl.exe" KeyPath="yes"/>\n) .
    qq(        </Component>\n);
}

sub data {
  my ($id, $source) = @_;
  my $guid = component_guid($id);
  return qq(          <Component Id="$id" Guid="{$guid}"$w64>\n) .
    qq(            <File Id="$id" Name="$id" Source="$app/$source" KeyPath="yes"/>\n) .
    qq(          </Component>\n);
}

# The SDK's folders, each file a component of its own, and the references the feature needs.
sub sdk {
  return ('', '') unless defined $sdk_list;
  open my $in, '<', $sdk_list or die "make_wxs.pl: $sdk_list: $!\n";
  my %files;
  while (my $line = <$in>) {
    chomp $line;
    next if $line eq '';
    my ($folder, $file) = $line =~ /^([\w\/]+)\|(.+)$/ or die "make_wxs.pl: $sdk_list: '$line'\n";
    push @{$files{$folder}}, $file;
  }
  close $in;
  my $wxs_dir = File::Spec->rel2abs(dirname($out));
  my ($tree, $refs, %open) = ('', '');
  for my $folder (sort keys %files) {
    my @parts = split m{/}, $folder;
    # Folders are sorted, so a parent comes before its children; only SDK/<one level> occurs.
    die "make_wxs.pl: SDK folder '$folder' is not SDK/NAME\n" unless @parts == 2 && $parts[0] eq 'SDK';
    $tree .= qq(              <Directory Id="SDK_$parts[1]" Name="$parts[1]">\n);
    for my $file (sort @{$files{$folder}}) {
      my $name = (File::Spec->splitpath($file))[2];
      my $id = "SDK_$parts[1]_$name";
      $id =~ s/[^\w.]/_/g;
      my $guid = component_guid($id);
      my $source = File::Spec->abs2rel($file, $wxs_dir);
      $tree .= qq(                <Component Id="$id" Guid="{$guid}"$w64>\n) .
        qq(                  <File Id="$id" Name="$name" Source="@{[xml($source)]}" KeyPath="yes"/>\n) .
        qq(                </Component>\n);
      $refs .= qq(      <ComponentRef Id="$id"/>\n);
    }
    $tree .= qq(              </Directory>\n);
  }
  $tree = qq(            <Directory Id="SDK" Name="SDK">\n$tree            </Directory>\n);
  return ($tree, $refs);
}
my ($sdk_tree, $sdk_refs) = sdk();

# The application directory's Dat folder holds both files: the library asks for "dat\velmo.cfg"
# and "Dat\Geometrie.dat", which Windows takes for one folder.
my $program_files = $win64 ? 'ProgramFiles64Folder' : 'ProgramFilesFolder';
my $bits = $win64 ? '64' : '32';
open my $o, '>', $out or die "make_wxs.pl: $out: $!\n";
print $o <<"END";
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{$product{$arch}}" Name="VELMOSWGlobalLib ($bits-bit)" Language="1036"
           Version="$version" Manufacturer="MOLTRA" UpgradeCode="{$upgrade{$arch}}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description="VELMOSWGlobalLib $version ($bits-bit)"/>
    <Media Id="1" Cabinet="velmo.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="$program_files">
        <Directory Id="MOLTRA" Name="MOLTRA">
          <Directory Id="INSTALLDIR" Name="VELMO_SW2">
@{[ server('MOLConfigLib', 'mol_config_lib.idl', 'mol_config_document.idl')
  . server('MolGPP', 'mol_gpp.idl', 'mol_pp_document.idl')
  . server('VELMOSWGlobalLib', 'velmo.idl') . tool() ]}            <Directory Id="DAT" Name="Dat">
@{[ data('velmo.cfg', 'dat/velmo.cfg') . data('Geometrie.dat', 'Dat/Geometrie.dat') ]}            </Directory>
$sdk_tree          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
      <ComponentRef Id="MOLConfigLib"/>
      <ComponentRef Id="MolGPP"/>
      <ComponentRef Id="VELMOSWGlobalLib"/>
      <ComponentRef Id="velmoctl"/>
      <ComponentRef Id="velmo.cfg"/>
      <ComponentRef Id="Geometrie.dat"/>
$sdk_refs    </Feature>
  </Product>
</Wix>
END
close $o or die "make_wxs.pl: $out: $!\n";
