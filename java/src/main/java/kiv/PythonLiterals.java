package kiv;

/** Python source literals for Java values, for code the Java side generates. */
final class PythonLiterals {
    private PythonLiterals() {
    }

    /** A Python str literal with exactly the UTF-16 content of s (lone surrogates included). */
    static String string(String s) {
        StringBuilder b = new StringBuilder(s.length() + 2).append('\'');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' || c == '\'') {
                b.append('\\').append(c);
            } else if (c >= 0x20 && c < 0x7f) {
                b.append(c);
            } else if (Character.isHighSurrogate(c) && i + 1 < s.length() && Character.isLowSurrogate(s.charAt(i + 1))) {
                b.append(String.format("\\U%08x", Character.toCodePoint(c, s.charAt(i + 1))));
                i++;
            } else {
                b.append(String.format("\\u%04x", (int) c));
            }
        }
        return b.append('\'').toString();
    }
}
