#!/usr/bin/env bash
# Makes throwaway certificates for a test VPN, valid for one day, in DIRECTORY: a CA (ca.crt,
# ca.key), an OpenVPN server (server.crt, server.key) and a client (client.crt, client.key).
#
#   scripts/throwaway_pki.sh DIRECTORY
set -euo pipefail
pki=$1
mkdir -p "$pki"
openssl ecparam -name prime256v1 -genkey -noout -out "$pki/ca.key"
openssl req -x509 -new -key "$pki/ca.key" -subj /CN=test-ca -days 1 -out "$pki/ca.crt" 2>/dev/null
for name in server client; do
    usage=$([[ $name == server ]] && echo serverAuth || echo clientAuth)
    openssl ecparam -name prime256v1 -genkey -noout -out "$pki/$name.key"
    openssl req -new -key "$pki/$name.key" -subj "/CN=$name" -out "$pki/$name.csr" 2>/dev/null
    openssl x509 -req -in "$pki/$name.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
        -days 1 -out "$pki/$name.crt" -extfile <(echo "extendedKeyUsage=$usage") 2>/dev/null
    rm -f "$pki/$name.csr"
done
