# Sourced by the release scripts: copies of the sources under test, and release
# builds of them. POSIX sh; the caller sets -eu and cleans up its own folders.

# release_git DIR ARG...: git in DIR. The work tree may belong to another user
# (a CI container): only its file list is read, so git is told to trust it.
release_git() {
    rg_dir=$1
    shift
    git -c 'safe.directory=*' -C "$rg_dir" "$@"
}

# release_sources SOURCE_DIR TAR: writes the sources to TAR, as git sees the work
# tree: tracked files as they are now (uncommitted changes included) and
# untracked files that are not ignored, without tracked files deleted from the
# work tree. Fails when SOURCE_DIR is not a git work tree.
release_sources() {
    rs_dir=$1
    rs_tar=$2
    release_git "$rs_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 1
    release_git "$rs_dir" ls-files -z --cached --others --exclude-standard --deduplicate \
        >"$rs_tar.listed"
    # shellcheck disable=SC2016 # the inner shell expands $f
    (cd "$rs_dir" && xargs -0 sh -c \
        'for f; do if [ -e "$f" ] || [ -L "$f" ]; then printf "%s\0" "$f"; fi; done' sh \
        <"$rs_tar.listed" >"$rs_tar.files")
    tar -C "$rs_dir" --null -T "$rs_tar.files" -cf "$rs_tar"
    echo "sources: $(tr -cd '\0' <"$rs_tar.files" | wc -c) files from $rs_dir"
    rm -f "$rs_tar.listed" "$rs_tar.files"
}

# release_commit_sources DIR COMMIT DEST: writes the files of COMMIT in the git
# repository DIR into the new folder DEST as git's object store holds them:
# nothing from the work tree (no untracked file, no edit hidden from git status
# by --assume-unchanged or --skip-worktree), no attributes, filters or line-end
# conversions, and no object replaced with git replace. Fails, naming it, on an
# entry that is not a plain file (a symbolic link, a submodule) or whose name
# git quotes.
release_commit_sources() {
    rc_dir=$1
    rc_commit=$2
    rc_dest=$3
    mkdir "$rc_dest"
    rc_tab=$(printf '\t')
    release_git "$rc_dir" --no-replace-objects ls-tree -r --full-tree "$rc_commit" >"$rc_dest.tree" ||
        return 1
    while IFS=$rc_tab read -r rc_entry rc_path; do
        # shellcheck disable=SC2086 # mode, type and object, split at blanks
        set -- $rc_entry
        case $1:$rc_path in
        100644:[!\"]* | 100755:[!\"]*) ;;
        *)
            echo "$rc_commit holds $rc_path as $2 (mode $1), which is not a plain file: not exported" >&2
            return 1
            ;;
        esac
        mkdir -p "$rc_dest/$(dirname "$rc_path")"
        release_git "$rc_dir" --no-replace-objects cat-file blob "$3" >"$rc_dest/$rc_path" || return 1
        if [ "$1" = 100755 ]; then chmod +x "$rc_dest/$rc_path"; fi
    done <"$rc_dest.tree"
    echo "sources: $(wc -l <"$rc_dest.tree") files of commit $rc_commit, from git's object store"
    rm -f "$rc_dest.tree"
}

# release_build COPY LIMIT TARGET...: configures COPY (unpacked sources) with the
# mingw preset and builds TARGETs, each step bounded by LIMIT seconds, with
# nothing from the caller's environment steering the compilers, and never a time
# stamp service (tests must not reach one). Its output goes to COPY.log; on
# failure the end of it is shown. The caller may set TZ, the locale and the
# umask around it.
release_build() {
    rb_copy=$1
    rb_limit=$2
    shift 2
    if ! (
        cd "$rb_copy"
        unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS SOURCE_DATE_EPOCH \
            MAKEFLAGS MFLAGS CMAKE_BUILD_PARALLEL_LEVEL CMAKE_GENERATOR \
            REGIN_SIGN_TIMESTAMP_URL 2>/dev/null || true
        timeout -k 10 "$rb_limit" cmake --preset mingw &&
            timeout -k 10 "$rb_limit" cmake --build --preset mingw -j 2 --target "$@"
    ) >"$rb_copy.log" 2>&1; then
        tail -n 40 "$rb_copy.log" >&2
        echo "FAIL: the build in $rb_copy failed or ran over $rb_limit s" >&2
        return 1
    fi
}
