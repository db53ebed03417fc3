#!/bin/sh
# Makes a throwaway self-signed certificate for the loopback test server:
#   make_cert.sh DIR [NAMES]  ->  DIR/cert.pem and DIR/key.pem
# Valid two days for NAMES (default "DNS:localhost,IP:127.0.0.1"). A client trusts it when
# cert.pem is its CA file (for the relay: SSL_CERT_FILE=DIR/cert.pem).
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [NAMES]" >&2
  exit 2
fi
exec openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/key.pem" -out "$1/cert.pem" -days 2 \
  -subj /CN=localhost -addext "subjectAltName=${2:-DNS:localhost,IP:127.0.0.1}" 2>/dev/null
