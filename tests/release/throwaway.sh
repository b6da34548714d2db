# shellcheck shell=sh
# Sourced by the release tests that sign: throwaway certificates, and a throwaway
# git repository of the sources under test on which check-source.sh runs.
# POSIX sh; the caller sets -eu, defines fail and work (its temporary folder,
# which it removes in every case).

# make_certificate BASE SUBJECT ISSUER EXTENSION...: BASE.key, a new RSA key,
# and BASE.pem, a certificate for it with SUBJECT and the X.509 EXTENSIONs
# (openssl -addext), valid for two days: issued by ISSUER.pem with ISSUER.key,
# or self-signed when ISSUER is empty.
make_certificate() {
    mc_base=$1
    mc_subject=$2
    mc_issuer=$3
    shift 3
    mc_count=$#
    for mc_extension; do
        set -- "$@" -addext "$mc_extension"
    done
    shift "$mc_count"
    if [ -n "$mc_issuer" ]; then
        set -- "$@" -CA "$mc_issuer.pem" -CAkey "$mc_issuer.key"
    fi
    timeout 60 openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "$mc_subject" "$@" \
        -keyout "$mc_base.key" -out "$mc_base.pem" >"$mc_base.log" 2>&1 ||
        fail "openssl could not make $mc_base.pem: $(cat "$mc_base.log")"
}

# make_signer DIR: in the new folder DIR (readable by its owner only) ca.pem, a
# throwaway CA; signer.pem, a code-signing certificate it issued; and
# signer.p12, holding the signer's key and both certificates (as a CA's
# customer gets them), its password in the file DIR/password.
make_signer() {
    mkdir -m 700 "$1"
    timeout 60 openssl rand -hex 16 >"$1/password"
    make_certificate "$1/ca" "/CN=Regin Detector throwaway CA" "" \
        "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign"
    make_certificate "$1/signer" "/CN=Regin Detector throwaway signer" "$1/ca" \
        "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=codeSigning"
    timeout 60 openssl pkcs12 -export -inkey "$1/signer.key" -in "$1/signer.pem" \
        -certfile "$1/ca.pem" -out "$1/signer.p12" -passout "file:$1/password" \
        >"$1/pkcs12.log" 2>&1 || fail "openssl could not make the PKCS#12 file: $(cat "$1/pkcs12.log")"
}

# make_repo TAR: the git repository $work/repo holding the files of TAR (the
# sources under test, from release_sources) in one commit. in_repo runs git
# there with its own settings only (no hook, template or setting of the
# developer's), so the state of the developer's own work tree plays no part.
repo="$work/repo"
in_repo() {
    GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 timeout 60 git -C "$repo" \
        -c init.defaultBranch=main -c user.name="Velmora Dev" -c user.email=dev@velmora.example \
        -c commit.gpgsign=false "$@"
}
make_repo() {
    mkdir "$repo"
    tar -C "$repo" -xf "$1"
    {
        in_repo init -q --template= && in_repo add -A && in_repo commit -q -m "sources under test"
    } >"$work/repo.log" 2>&1 || fail "could not commit the sources under test: $(cat "$work/repo.log")"
    [ -z "$(in_repo status --porcelain)" ] ||
        fail "the committed sources are not clean: $(in_repo status --porcelain)"
}

# source_check NAME EXE: runs the repository's check-source.sh on EXE into
# $work/NAME-source.log, bounded; sets status to its exit status.
source_check() {
    status=0
    timeout -k 10 600 sh "$repo/tests/release/check-source.sh" "$2" </dev/null >"$work/$1-source.log" 2>&1 ||
        status=$?
}

# expect_rejection NAME STATUS TEXT WHAT: fails unless the last source_check NAME
# ended with STATUS and said TEXT (each rejection has a message of its own).
expect_rejection() {
    [ "$status" -eq "$2" ] && grep -qF -- "$3" "$work/$1-source.log" ||
        fail "check-source.sh (status $status, not $2 with '$3') does not reject $4: $(cat "$work/$1-source.log")"
}
