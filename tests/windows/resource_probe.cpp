// An empty program that carries the updater's resources, so that tests/windows/run can check the
// manifest, version resource and subsystem that tavrel_add_windows_resources gives.
int wmain() {
    return 0;
}
