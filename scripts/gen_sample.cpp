// PLACEHOLDER: the sample-data generator is being written.
int main() { return 1; }
