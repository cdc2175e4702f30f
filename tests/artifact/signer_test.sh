#!/usr/bin/env bash
# The shipping DLL (PE32) signed as scripts/release signs it, with a throwaway
# certificate: osslsigncode verifies it, and the product's own signer check,
# run under wine64, reads back the certificate's name; the unsigned DLL it
# reads as unsigned. The check only parses the file, so the 64-bit reader
# takes the 32-bit file.
#   signer_test.sh SOURCE_DIR WORK_DIR SIGNER_NAME_EXE      (IKX_BUILD_DIR set)
set -u
top=$1 work=$2 reader=$3
failed=0 total=0
check() { # description, command...
  local what=$1; shift
  total=$((total + 1))
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failed=$((failed + 1)); fi
}
# The shipping build is scripts/test's; when it is current this is a no-op.
(cd "$top" && cmake --preset i686-release >/dev/null &&
  cmake --build --preset i686-release --target vornExt_iKXClient >/dev/null) ||
  { echo "FAIL building the shipping DLL"; exit 1; }
dll=$top/build/i686-release/bin/vornExt_iKXClient.dll

rm -rf "$work"
mkdir -p "$work"
cn="Release Signer Check, Ltd."
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/test.key" -out "$work/test.crt" \
  -subj "/CN=$cn/O=Release test" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
"$top/scripts/sign" --cert "$work/test.crt" --key "$work/test.key" "$dll" "$work/signed.dll" ||
  { echo "FAIL scripts/sign"; exit 1; }
cp "$dll" "$work/unsigned.dll"

check "the signed DLL is PE32" grep -q 'pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$work/signed.dll")"
check "osslsigncode verifies it with the certificate" \
  osslsigncode verify -CAfile "$work/test.crt" -in "$work/signed.dll"
# scripts/sign knows its signer by fingerprint, not by subject: a PEM whose
# first certificate is not the key's (another one with the same subject
# follows it) gives a signature by that other certificate, which is refused;
# a PFX's certificate is checked the same way.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/other.key" -out "$work/other.crt" \
  -subj "/CN=$cn/O=Release test" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
cat "$work/test.crt" "$work/other.crt" >"$work/mixed.pem"
check "a signature by another certificate with the same subject is refused" bash -c \
  "! '$top/scripts/sign' --cert '$work/mixed.pem' --key '$work/other.key' '$dll' '$work/mixed.dll' &&
   test ! -e '$work/mixed.dll'"
echo secret >"$work/pass.txt"
openssl pkcs12 -export -inkey "$work/test.key" -in "$work/test.crt" -passout "file:$work/pass.txt" \
  -out "$work/test.pfx"
check "a PFX's own certificate passes the check" test "$("$top/scripts/sign" --pfx "$work/test.pfx" \
  --pass-file "$work/pass.txt" "$dll" "$work/pfx.dll")" = "/CN=$cn/O=Release test"

windows() { echo "Z:${1//\//\\}"; }
"$top/scripts/wine-test" release_signer "$reader" "$(windows "$work/signed.dll")" \
  "$(windows "$work/unsigned.dll")" >"$work/names.txt" 2>&1
names=$(tr -d '\r' <"$work/names.txt")
echo "signer names read: $(echo "$names" | xargs -d '\n' printf '[%s] ')"
check "the product reads the certificate's name as the signer" test "$(sed -n 1p <<<"$names")" = "$cn"
check "the product reads the unsigned DLL as unsigned" test "$(sed -n 2p <<<"$names")" = unsigned

echo "$((total - failed)) passed, $failed failed"
exit $((failed > 0))
