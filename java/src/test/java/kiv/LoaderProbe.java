package kiv;

/** Child-JVM entry for the loader tests: loads the library and says from where. */
public final class LoaderProbe {
    private LoaderProbe() {
    }

    public static void main(String[] args) {
        try {
            NativeLoader.load();
            NativeLoader.load(); // a second call is a no-op
            System.out.println("loaded from " + NativeLoader.loadedFrom());
        } catch (UnsatisfiedLinkError e) {
            System.err.println(e.getMessage());
            System.exit(3);
        }
    }
}
