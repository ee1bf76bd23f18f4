package kiv;

import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.Reader;
import java.nio.charset.StandardCharsets;
import java.util.Properties;

/**
 * Facts recorded when the native library was built: the resource
 * {@code kiv/build.properties}, written by {@code bin/build-native} from the CMake cache.
 */
final class BuildInfo {
    static final String RESOURCE = "/kiv/build.properties";

    private static Properties properties;

    private BuildInfo() {
    }

    /** The python3.12 executable CMake built against, or null if unknown. */
    static String pythonExecutable() {
        return get("python.executable");
    }

    /** That Python's installation prefix (sys.base_prefix), or null if unknown. */
    static String pythonHome() {
        return get("python.home");
    }

    /** The version of Kiv that was built, or null if unknown. */
    static String kivVersion() {
        return get("kiv.version");
    }

    private static String get(String key) {
        String value = properties().getProperty(key);
        return value == null || value.isEmpty() ? null : value;
    }

    private static synchronized Properties properties() {
        if (properties == null) {
            properties = read(BuildInfo.class.getResourceAsStream(RESOURCE));
        }
        return properties;
    }

    static Properties read(InputStream in) {
        Properties p = new Properties();
        if (in == null) {
            return p;
        }
        try (Reader r = new InputStreamReader(in, StandardCharsets.UTF_8)) {
            p.load(r);
        } catch (IOException e) {
            // An unreadable file is treated like a missing one: the values are optional.
            p.clear();
        }
        return p;
    }
}
