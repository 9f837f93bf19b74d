int main() { return 1; }  // in progress
