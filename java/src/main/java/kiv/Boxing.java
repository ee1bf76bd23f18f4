package kiv;

/** Maps primitive classes to their boxed classes, which is what conversions return. */
public final class Boxing {
    private Boxing() {
    }

    /**
     * The boxed class of a primitive class; other classes unchanged; null means Object.
     *
     * @param <T> the type the class stands for
     * @param type a class, primitive or not, or null
     * @return {@code Integer.class} for {@code int.class} and so on, else {@code type}
     */
    @SuppressWarnings("unchecked")
    public static <T> Class<T> boxed(Class<T> type) {
        if (type == null) {
            return (Class<T>) Object.class;
        }
        if (!type.isPrimitive()) {
            return type;
        }
        Class<?> b = type == int.class ? Integer.class
                : type == long.class ? Long.class
                : type == double.class ? Double.class
                : type == boolean.class ? Boolean.class
                : type == float.class ? Float.class
                : type == short.class ? Short.class
                : type == byte.class ? Byte.class
                : type == char.class ? Character.class
                : Void.class;
        return (Class<T>) b;
    }
}
