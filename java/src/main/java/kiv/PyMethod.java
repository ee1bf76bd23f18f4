package kiv;

import java.lang.annotation.Documented;
import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/**
 * How Python calls the annotated Java method or constructor. Without the annotation a
 * method takes variable arguments when Java says so ({@code isVarArgs}) and refuses
 * keyword arguments.
 * <ul>
 * <li>{@code varargs}: the last positional parameter, an array, collects the positional
 * arguments left over after the ones before it;</li>
 * <li>{@code kwargs}: the last parameter receives the keyword arguments as a map (null
 * when the call passes none).</li>
 * </ul>
 * With both, the array parameter comes just before the map parameter.
 */
@Documented
@Retention(RetentionPolicy.RUNTIME)
@Target({ElementType.METHOD, ElementType.CONSTRUCTOR})
public @interface PyMethod {
    /**
     * Whether the last positional parameter collects the remaining positional arguments.
     *
     * @return true for variable arguments
     */
    boolean varargs() default false;

    /**
     * Whether the last parameter receives the keyword arguments.
     *
     * @return true for keyword arguments
     */
    boolean kwargs() default false;
}
