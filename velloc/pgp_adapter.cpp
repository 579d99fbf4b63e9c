// Placeholder until the encryption adapter lands.
int main() { return 1; }
