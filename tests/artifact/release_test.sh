#!/usr/bin/env bash
# scripts/release run twice from this checkout, in two fresh folders of
# different names and depths, once unsigned and once signed with a
# throwaway certificate: the DLL and its symbols come out the same bytes,
# carry no build folder and the commit's time, the signed one verifies with
# that certificate as signer, each SHA256SUMS holds, the bill of materials
# names what the link used, with versions and licences, and no copy of the
# checkout stays behind. Signing inputs inside the checkout are refused.
#   release_test.sh SOURCE_DIR WORK_DIR
set -u
top=$1 work=$2
failed=0 total=0
check() { # description, command...
  local what=$1; shift
  total=$((total + 1))
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failed=$((failed + 1)); fi
}
rm -rf "$work"
mkdir -p "$work"
# The throwaway certificate lies outside the checkout, as the release demands.
keys=$(mktemp -d)
inside=$(mkdir -p "$top/build" && mktemp -d "$top/build/release-test-keys.XXXXXX")
trap 'rm -rf "$keys" "$inside"' EXIT
signer="IKX Release Test Signer"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/test.key" -out "$keys/test.crt" \
  -subj "/CN=$signer/O=Release test" -addext "extendedKeyUsage=codeSigning" 2>/dev/null

a=$work/a b=$work/second-build-folder/b
"$top/scripts/release" --work "$a" --out "$a/dist" >"$work/a.log" 2>&1 ||
  { cat "$work/a.log"; echo "FAIL the unsigned release"; exit 1; }
"$top/scripts/release" --work "$b" --out "$b/dist" --sign-cert "$keys/test.crt" \
  --sign-key "$keys/test.key" >"$work/b.log" 2>&1 ||
  { cat "$work/b.log"; echo "FAIL the signed release"; exit 1; }
dist_a=$(echo "$a"/dist/vornExt_iKXClient-*) dist_b=$(echo "$b"/dist/vornExt_iKXClient-*)
built_a=$a/bin/vornExt_iKXClient.dll
built_b=$b/bin/vornExt_iKXClient.dll

check "the same DLL bytes from both folders" cmp "$built_a" "$built_b"
check "the same symbols from both folders" cmp "$built_a.debug" "$built_b.debug"
check "the unsigned release ships the built bytes" cmp "$built_a" "$dist_a/vornExt_iKXClient.dll"
no_folder() { ! grep -qaF "$2" "$1" "$1.debug"; }
check "no build folder in the DLL or its symbols" no_folder "$built_b" "second-build-folder"
epoch=$(git -C "$top" log -1 --format=%ct)
stamp=$(i686-w64-mingw32-objdump -p "$built_a" | sed -n 's/^Time\/Date stamp[[:space:]]*//p')
check "the PE time stamp is the commit's time" test "$((16#${stamp:-x}))" = "$epoch"

check "the unsigned release says so" grep -q UNSIGNED "$work/a.log"
check "the unsigned DLL carries no signature" bash -c "! osslsigncode verify -in '$dist_a/vornExt_iKXClient.dll'"
osslsigncode verify -CAfile "$keys/test.crt" -in "$dist_b/vornExt_iKXClient.dll" >"$work/verify.log" 2>&1
check "the signed DLL verifies with the certificate" grep -q '^Signature verification: ok' "$work/verify.log"
check "its signer is the certificate's subject" grep -q "Subject: /CN=$signer/O=Release test" "$work/verify.log"
check "the signed release names its signer" grep -q "signed by /CN=$signer" "$work/b.log"

check "no copy of the checkout is left behind" test ! -e "$a/tree" -a ! -e "$b/tree"

# A certificate, key, PFX or password file inside the checkout is refused
# before anything is built: named there directly, or through a link either
# way. Nothing is made.
cp "$keys/test.key" "$inside/signer.key"
echo secret >"$inside/pass.txt"
ln -s "$keys/test.key" "$inside/linked.key"
ln -s "$inside/pass.txt" "$keys/pass-link.txt"
refused() { # name, release arguments...
  local c=$work/refused-$1; shift
  ! "$top/scripts/release" --work "$c" --out "$c/dist" "$@" >"$c.log" 2>&1 &&
    grep -q "scripts/release: refusing" "$c.log" && test ! -e "$c"
}
check "a key inside the checkout is refused" \
  refused key --sign-cert "$keys/test.crt" --sign-key "$inside/signer.key"
check "a key linked from inside the checkout is refused" \
  refused linked --sign-cert "$keys/test.crt" --sign-key "$inside/linked.key"
check "a password file linked to one inside the checkout is refused" \
  refused pass --sign "$keys/none.pfx" --sign-pass-file "$keys/pass-link.txt"

listed() { test "$(cut -d' ' -f3 "$1/SHA256SUMS" | sort | xargs)" = "$(cd "$1" && ls | grep -vx SHA256SUMS | sort | xargs)"; }
for d in "$dist_a" "$dist_b"; do
  check "SHA256SUMS of $d holds" bash -c "cd '$d' && sha256sum --strict -c SHA256SUMS"
  check "SHA256SUMS lists every file beside it" listed "$d"
done
# The folder's name carries the version the resource has, in four parts.
file_version=$(strings -el "$built_a" | grep -A1 -x FileVersion | tail -n 1)
name_version=${dist_a##*/vornExt_iKXClient-}
IFS=. read -r -a parts <<<"${name_version%-dirty}"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
check "the release is named by the DLL's version ($file_version)" \
  test "$(IFS=.; echo "${parts[*]}")" = "$file_version"

# The bill of materials: every runtime piece and JsonCpp with its version
# and licence, versions as the package manager and the source package say.
jsoncpp_version=$(sed -n '1s/^libjsoncpp (\([^)]*\)).*/\1/p' "$top"/third_party/libjsoncpp-*/debian/changelog)
gxx_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-i686-posix)
crt_version=$(dpkg-query -W -f='${Version}' mingw-w64-i686-dev)
bom_has() { # file, then name=version pairs
  python3 - "$@" <<'EOF'
import json, sys
bom = json.load(open(sys.argv[1]))
found = {c["name"]: c for c in bom["components"]}
for pair in sys.argv[2:]:
    name, version = pair.split("=", 1)
    c = found[name]
    assert c["version"] == version, (name, c["version"])
    assert c["licenses"][0]["expression"], name
EOF
}
check "the bill names JsonCpp, libstdc++, libgcc, winpthreads and the CRT with their versions" \
  bom_has "$dist_a"/*.cdx.json "jsoncpp=$jsoncpp_version" "libstdc++=$gxx_version" \
  "libgcc=$gxx_version" "winpthreads=$crt_version" "mingw-w64-crt=$crt_version"
# xxHash, whose CMake project lies below its source package's root.
xxhash_version=$(sed -n '1s/^xxhash (\([^)]*\)).*/\1/p' "$top"/third_party/xxhash-*/debian/changelog)
check "the bill names xxHash with its source package's version ($xxhash_version)" \
  bom_has "$dist_a"/*.cdx.json "xxhash=${xxhash_version:-unknown}"
bom_hash() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["metadata"]["component"]["hashes"][0]["content"])' "$1"; }
check "the bill's hash is the shipped DLL's" \
  test "$(bom_hash "$dist_b"/*.cdx.json)" = "$(sha256sum <"$dist_b/vornExt_iKXClient.dll" | cut -d' ' -f1)"

# A library the link map names that no package installed is an error, not
# a gap in the bill.
printf 'Archive member included to satisfy reference by file (symbol)\n\n%s\n  x.obj (f)\n' \
  "$work/libstray.a(stray.o)" >"$work/stray.map"
: >"$work/libstray.a"
check "a linked file nobody installed stops the bill" bash -c "! '$top/scripts/sbom' --map '$work/stray.map' \
  --dll '$built_a' --version 0 --commit 0 --epoch 0 --out '$work/stray.json'"

echo "$((total - failed)) passed, $failed failed"
exit $((failed > 0))
