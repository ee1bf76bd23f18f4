package kiv;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import org.junit.jupiter.api.Test;

/** The typed settings of PyConfig and SubInterpreterOptions: unset until set. */
class OptionsTest {

    @Test
    void pyConfigSettingsAreUnsetUntilSet() {
        PyConfig c = new PyConfig();
        assertTrue(c.toString().contains("siteImport=unset, useEnvironment=unset"), c.toString());
        c.setSiteImport(false).setUseEnvironment(true).setWriteBytecode(false).setOptimizationLevel(0).setVerbose(2)
                .setHashSeed(7);
        assertEquals(0, c.siteImport);
        assertEquals(1, c.useEnvironment);
        assertEquals(0, c.writeBytecode);
        assertEquals(0, c.optimizationLevel, "0 is a value, not unset");
        assertEquals(2, c.verbose);
        assertEquals(7, c.hashSeed);
        assertEquals(1, c.useHashSeed, "a seed set is a seed used");
        assertEquals(PyConfig.UNSET, c.parseArgv);
        assertEquals(PyConfig.UNSET, c.userSiteDirectory);
        assertTrue(c.copy().toString().equals(c.toString()));

        assertThrows(IllegalArgumentException.class, () -> new PyConfig().setOptimizationLevel(3));
        assertThrows(IllegalArgumentException.class, () -> new PyConfig().setOptimizationLevel(-1));
        assertThrows(IllegalArgumentException.class, () -> new PyConfig().setHashSeed(-1));
        assertThrows(IllegalArgumentException.class, () -> new PyConfig().setVerbose(-1));
    }

    @Test
    void subInterpreterOptionsAreUnsetUntilSet() {
        SubInterpreterOptions o = SubInterpreterOptions.isolated().setAllowThreads(false).setOwnGil(true);
        assertEquals(0, o.allowThreads);
        assertEquals(1, o.ownGil);
        assertEquals(SubInterpreterOptions.UNSET, o.allowFork);
        assertEquals(SubInterpreterOptions.UNSET, o.checkMultiInterpExtensions);
    }

    @Test
    void aSettingReachesTheInterpreter() {
        assumeTrue(ChildJvm.nativeLibraryAvailable(), "the native library was not built");
        try (Interpreter py = new SubInterpreter(SubInterpreterOptions.isolated().setAllowThreads(false))) {
            py.exec("import threading\ntry:\n    threading.Thread(target=print).start()\n    refused = False\n"
                    + "except RuntimeError:\n    refused = True\n");
            assertEquals(Boolean.TRUE, py.getValue("refused"));
        }
        try (Interpreter py = new SubInterpreter()) {
            py.exec("import threading\nt = threading.Thread(target=lambda: None)\nt.start()\nt.join()\n");
        }
    }
}
