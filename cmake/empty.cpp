// Keeps the module object library non-empty before the first source lands.
