#!/usr/bin/env bash
# Remakes the seed corpora in tests/fuzz/corpus/: a small sample game is
# published with our own kestrava-patcher (every file of a real release), a
# few archives are made with Debian's 7zz, bsdtar and Python's zipfile
# (hostile names and links among them), and hand-written files cover what a
# broken or hostile server may send. Findings of the fuzzers (their
# reproducers) live beside these seeds under names starting "found-" and
# are kept when the seeds are remade.
#
# Usage: tests/fuzz/make_seeds.sh PATH/TO/kestrava-patcher
set -euo pipefail
patcher=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
work=$(mktemp -d /tmp/kestrava-seeds-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Clears a corpus folder but for its findings.
fresh() {
  mkdir -p "$corpus/$1"
  find "$corpus/$1" -type f ! -name 'found-*' -delete
}
seed() {  # corpus, name, text (printf format)
  printf "$3" >"$corpus/$1/$2"
}

# ---- A published sample release ----
game=$work/game
mkdir -p "$game/data/xml" "$game/data/dds" "$game/scope" "$game/ui"
printf '#!/bin/sh\necho game\n' >"$game/Kestrava.exe"
printf 'launcher v1\n' >"$game/Launcher.exe"
printf 'update tool v1\n' >"$game/Launcher.dat"
python3 -c "print('<items>' + '<item id=\"1\"/>' * 60 + '</items>')" >"$game/data/xml/items.xml"
python3 -c "import sys; sys.stdout.buffer.write(bytes(range(256)) * 3)" >"$game/data/dds/sky.dds"
: >"$game/data/dds/empty.dds"
printf 'small picture' >"$game/ui/开始.png"
printf 'data/xml/items.xml\nKestrava.exe\n' >"$game/scope/login.scope"
printf '<?xml version="1.0"?>\n<servers><server name="one" ip="127.0.0.1"/></servers>\n' \
  >"$game/url.xml"
"$patcher" keygen "$work/release.pem" >/dev/null
"$patcher" publish "$game" "$work/rel" --version 1.0.3 --level 1 --sign-key "$work/release.pem" \
  >/dev/null
rel=$work/rel
(cd "$work" && 7zz x -y -ounpacked "$rel/data.7z" >/dev/null)

fresh client_list
cp "$rel/LauncherConfig/client.md5" "$corpus/client_list/published.md5"
seed client_list hostile.md5 '<?xml version="1.0"?>\n<Filelist><Files>\n<File Path="../outside.txt" Code="0cc175b9c0f1b6a831c399e269772661" Size="1" Zip="0"/>\n<File Path="/etc/abs.dll" Code="x" Size="1" Zip="0"/>\n<File Path="C:\\\\win.exe" Code="x" Size="1" Zip="1" zipSize="5"/>\n<File Path="a\\\\..\\\\..\\\\b.xml" Code="x" Size="-5" Zip="7"/>\n<File Path="big.pak" Code="x" Size="9223372036854775807" Zip="2" zipSize="-9223372036854775808"/>\n<File Path="big2.pak" Code="x" Size="9223372036854775807" Zip="0"/>\n<File Path="" Code="" Size="" Zip=""/>\n<File/>\n</Files></Filelist>\n'

fresh local_list
cp "$rel/LauncherConfig/client.md5" "$corpus/local_list/installed.md5"
seed local_list hostile.md5 '<?xml version="1.0" encoding="UTF-8"?>\n<Filelist>\n\t<Files>\n\t\t<File Path="../../outside.txt" Code="x" Size="1" Zip="0" />\n\t\t<File Path="/tmp/abs.txt" Code="x" Size="1" Zip="0" />\n\t\t<File Path="data/old.pak" Code="a" Size="1" Zip="0" />\n\t\t<File Path="data/old.pak" Code="b" Size="2" Zip="0" />\n\t\t<File Path="LauncherConfig" Code="c" Size="3" Zip="0" />\n\t</Files>\n</Filelist>\n'
seed local_list no-files.md5 '<?xml version="1.0"?>\n<Filelist></Filelist>\n'
seed local_list latin1.md5 '<?xml version="1.0" encoding="ISO-8859-1"?>\n<Filelist><Files><File Path="caf\351.txt" Code="x" Size="1" Zip="0"/></Files></Filelist>\n'

fresh update_xml
cp "$rel/LauncherConfig/update.xml" "$corpus/update_xml/update.xml"
seed update_xml no-version.xml '<Filelist><Files><File Path="LauncherConfig/client.md5" Code="b80992c45c095da431347a027ba55495"/></Files></Filelist>'
seed update_xml cdata-version.xml '<Filelist><version><![CDATA[2.0 beta]]></version><Files/></Filelist>'

fresh launupdate_xml
cp "$rel/ZEPLauncherUpdate/LaunUpdate.xml" "$corpus/launupdate_xml/LaunUpdate.xml"
seed launupdate_xml hostile.xml '<Filelist><Files>\n<File Path="Launcher.dat" Code="d41d8cd98f00b204e9800998ecf8427e" Size="-1" zipSize="99999999999999999999"/>\n<File Path="../Launcher.exe" Code="x"/>\n<File Path="Launcher.exe" Code=""/>\n</Files></Filelist>'

fresh package_list
cp "$work/unpacked/LauncherConfig/update/data.7z.md5" "$corpus/package_list/data.7z.md5"
seed package_list hostile.md5 '<Filelist><Number>-1</Number><Files>\n<File Path="../x" Code="x" Size="1" Zip="0"/>\n<File Path="/abs" Code="x" Size="1" Zip="0"/>\n<File Path="ok.txt" Code="x" Size="99999999999999999999" Zip="-3"/>\n</Files></Filelist>'

fresh package_index
cp "$rel/LauncherConfig/update/firstdownload" "$corpus/package_index/firstdownload"
seed package_index hostile '\357\273\277data.7z,958\r\n../up.7z,1\n/abs.7z,2\nno-comma\n,5\nfont.7z,-7\nlobby.7z,99999999999999999999\nC:\\\\x.7z,1\n'

fresh release_sig
cp "$rel/LauncherConfig/release.sig" "$corpus/release_sig/release.sig"
seed release_sig hostile.sig 'kestrava-release-sig 1\nversion 1.0\r\nserial 99999999999999999999\nfile 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef 1 ../up.7z\nfile 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef -1 data.7z\nfile 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef 1 data.7z\nfile 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef 1 data.7z\nsignature ====\n'

fresh chunk_map
# Maps of a few small files, each published plain with a map.
dgame=$work/delta-game
mkdir -p "$dgame"
printf 'launcher v1\n' >"$dgame/Launcher.exe"
printf 'update tool v1\n' >"$dgame/Launcher.dat"
printf 'x' >"$dgame/one.bin"
: >"$dgame/empty.bin"
python3 -c "import random, sys; r = random.Random(7); sys.stdout.buffer.write(r.randbytes(400000))" \
  >"$dgame/noise.bin"
"$patcher" publish "$dgame" "$work/delta-rel" --version 1 --level 0 --pack-saving 100 \
  --delta-min-size 0 >/dev/null
for name in one empty noise; do
  cp "$work/delta-rel/LauncherConfig/delta/$name.bin.map" "$corpus/chunk_map/$name.map"
done
head -c 100 "$corpus/chunk_map/noise.map" >"$corpus/chunk_map/truncated.map"
{ printf 'KSTCMAP2'; tail -c +9 "$corpus/chunk_map/one.map"; } >"$corpus/chunk_map/bad-magic.map"

fresh byteranges
# The first byte of each seed is the fuzzer's own (the piece size); then a
# multipart answer as nginx writes one, one cut short, and hostile ones.
seed byteranges nginx '\007\r\n--kb\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes 0-4/100\r\n\r\nhello\r\n--kb\r\nContent-Range: bytes 90-99/100\r\n\r\n\r\n--kb--\r\n\r\n--kb--\r\n'
seed byteranges cut '\001\r\n--kb\r\nContent-Range: bytes 0-4/100\r\n\r\nhel'
seed byteranges hostile '\003preamble\r\n--kb \r\ncontent-range: bytes 99999999999999999-0/*\r\n\r\n\r\n--kb\r\nContent-Range: bytes 5-4/1\r\n\r\n'

fresh scope_file
cp "$rel/scope/login.scope" "$corpus/scope_file/login.scope"
seed scope_file hostile.scope '../outside\r\n/abs\n\n\nKestrava.exe\r\ndata/xml/items.xml'
python3 -c "import sys; sys.stdout.write('a' * 1500 + '\n' + 'b' * 511 + '\n')" \
  >"$corpus/scope_file/long-lines.scope"

fresh launch_conf
seed launch_conf Launch.conf '<?xml version="1.0" encoding="UTF-8"?>\n<info>\n    <client_ver>1.0.3</client_ver>\n</info>\n'
seed launch_conf odd.conf '<info><client_ver> 2.0 &amp; &lt;beta&gt; </client_ver><client_ver>3</client_ver></info>'

fresh check_ini
seed check_ini check.ini '[check]\r\nsign=8\r\n'
seed check_ini mixed.ini '; comment\n[other]\nsign=1\n[check]\n  sign  =  24 \nsignal=2\n[check]\nsign=4\n'
seed check_ini no-section.ini 'sign=12\n'

fresh web_xml
seed web_xml web.xml '<?xml version="1.0" encoding="UTF-8"?>\n<url>\n  <platform>kestrava-pc</platform>\n  <AddQQ>https://qm.qq.com/q/kestrava</AddQQ>\n  <HomePage>http://127.0.0.1/web/index.html</HomePage>\n</url>\n'
seed web_xml cdata.xml '<url><platform><![CDATA[a&b]]></platform><AddQQ/><HomePage><b>x</b></HomePage></url>'

# ---- Archives ----
fresh archive_7z
fresh archive_zip
cp "$rel/data.7z" "$corpus/archive_7z/package.7z"
cp "$rel/LauncherConfig/client.md5.7z" "$corpus/archive_7z/client.md5.7z"
cp "$rel/data/xml/items.xml.7z" "$corpus/archive_7z/single-file.7z"
files=$work/files
mkdir -p "$files/d"
printf 'hello\n' >"$files/f"
printf 'inside\n' >"$files/d/g"
ln -s /etc/passwd "$files/lnk"
ln -s .. "$files/up"
(
  cd "$files"
  7zz a -bd -mx=1 "$corpus/archive_7z/plain.7z" f d >/dev/null
  7zz a -bd -mx=0 "$corpus/archive_7z/stored.7z" f >/dev/null
  # Names that leave the destination, and links.
  bsdtar --format 7zip -P -s ',^f$,../escape,' -s ',^d/g$,/abs/g,' -cf \
    "$corpus/archive_7z/hostile-names.7z" f d/g
  bsdtar --format 7zip -cf "$corpus/archive_7z/links.7z" lnk up f
  bsdtar --format 7zip -P -s ',^f$,up/through-link,' -cf "$corpus/archive_7z/through-link.7z" up f
  bsdtar --format zip -cf "$corpus/archive_zip/plain.zip" f d
  bsdtar --format zip -cf "$corpus/archive_zip/links.zip" lnk up f
)
python3 -W ignore - "$corpus/archive_zip" <<'PY'
import sys, zipfile
out = sys.argv[1]
with zipfile.ZipFile(out + "/hostile-names.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name in ["../escape", "/abs/x", "a\\..\\..\\back", "C:/win", "ok/./fine", "d/", "d/e"]:
        z.writestr(name, "x")
with zipfile.ZipFile(out + "/symlink-then-file.zip", "w") as z:
    info = zipfile.ZipInfo("up")
    info.external_attr = (0o120777 << 16)
    z.writestr(info, "..")
    z.writestr("up/through-link", "x")
with zipfile.ZipFile(out + "/duplicates.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("same", "first")
    z.writestr("same", "second")
    z.writestr("same/child", "third")
PY

# ---- The skin ----
fresh skin_markup
cp "$here/../../skin/mainframe.xml" "$here/../../skin/vxmessagebox.xml" "$corpus/skin_markup/"
seed skin_markup nested.xml '<?xml version="1.0" encoding="UTF-8"?>\n<Window size="120,80" caption="0,0,0,20" defaultfontcolor="#FF000000">\n<Font id="0" name="sans" size="14" bold="true"/>\n<VerticalLayout bkcolor="#FF202020" bkimage="file='"'"'launcher_BJ.png'"'"' corner='"'"'4,4,4,4'"'"' source='"'"'0,0,50,50'"'"'">\n<Label name="ctrProcess" text="50%%" height="20" textcolor="0xFFFFFFFF"/>\n<Button name="EntryBtn" pos="10,10,60,40" float="true" normalimage="Button_Play_up.png"/>\n<Container><Text text="long text that wraps" width="30"/></Container>\n<WebBrowser name="ie" homepage="about:blank"/>\n</VerticalLayout>\n</Window>\n'

fresh skin_values
seed skin_values plain 'launcher_BJ.png'
seed skin_values keys "file='Close_up.png' source='0,0,20,20' dest='1,2,3,4' corner='2,2,2,2' mask='#FF00FF' fade='128' hole='true' xtiled='TRUE' ytiled='false'"
seed skin_values colour '#FF112233'
seed skin_values rect '10 , 20,30,  40'

fresh skin_zip
python3 "$here/../../skin/pack_skin.py" "$corpus/skin_zip/skin.zip" \
  "$here/../../skin/mainframe.xml" "$here/../../skin/Close_up.png"
python3 - "$corpus/skin_zip" <<'PY'
import sys, zipfile
out = sys.argv[1]
with zipfile.ZipFile(out + "/stored.zip", "w", zipfile.ZIP_STORED) as z:
    z.writestr("img\\a.png", "picture")
    z.writestr("MainFrame.xml", "<Window/>")
with zipfile.ZipFile(out + "/empty-entry.zip", "w") as z:
    z.writestr("a", "")
PY
echo "seeds remade in $corpus"
