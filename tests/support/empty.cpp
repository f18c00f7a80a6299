// Keeps the test-support library non-empty while it has only headers.
