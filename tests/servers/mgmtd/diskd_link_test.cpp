// Filled in with the disk server link tests.
