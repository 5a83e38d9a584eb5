// Stands in for the product's executables in end-to-end tests: only its version resource matters.
int main() { return 0; }
