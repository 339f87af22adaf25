#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>
#include <os/availability.h>

#define NS_ENUM(_type, _name) enum _name : _type _name; enum _name : _type
#define NS_UNAVAILABLE __attribute__((unavailable))
#define NS_DESIGNATED_INITIALIZER __attribute__((objc_designated_initializer))
#define NS_RETURNS_INNER_POINTER __attribute__((objc_returns_inner_pointer))
#define NS_TYPED_EXTENSIBLE_ENUM __attribute__((swift_wrapper(struct)))

typedef long NSInteger;
typedef unsigned long NSUInteger;

NS_ASSUME_NONNULL_BEGIN

@class NSString, NSDictionary;

@protocol NSCopying
@end

#pragma mark - NSFastEnumeration

typedef struct {
    unsigned long state;
    id __unsafe_unretained _Nullable *_Nullable itemsPtr;
    unsigned long *_Nullable mutationsPtr;
    unsigned long extra[5];
} NSFastEnumerationState;

@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState *)state
                                  objects:(id __unsafe_unretained _Nullable[_Nonnull])buffer
                                    count:(NSUInteger)len;
@end

#pragma mark - NSString

@interface NSString : NSObject <NSCopying>
@property(nullable, readonly) const char *UTF8String NS_RETURNS_INNER_POINTER;
@end

#pragma mark - NSNumber

@interface NSValue : NSObject <NSCopying>
@end

@interface NSNumber : NSValue
@end

@interface NSNumber (NSNumberCreation)
+ (NSNumber *)numberWithUnsignedInt:(unsigned int)value;
+ (NSNumber *)numberWithInteger:(NSInteger)value;
+ (NSNumber *)numberWithBool:(BOOL)value;
@end

#pragma mark - NSArray

@interface NSArray<__covariant ObjectType> : NSObject <NSCopying, NSFastEnumeration>
@property(readonly) NSUInteger count;
- (ObjectType)objectAtIndex:(NSUInteger)index;
@end

@interface NSArray<ObjectType> (NSArrayCreation)
+ (instancetype)arrayWithObjects:(const ObjectType _Nonnull[_Nonnull])objects count:(NSUInteger)cnt;
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
- (void)addObject:(ObjectType)anObject;
@end

@interface NSMutableArray<ObjectType> (NSMutableArrayCreation)
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
@end

#pragma mark - NSDictionary

@interface NSDictionary<KeyType, __covariant ObjectType> : NSObject <NSCopying, NSFastEnumeration>
- (nullable ObjectType)objectForKey:(KeyType)aKey;
@end

@interface NSDictionary<KeyType, ObjectType> (NSDictionaryCreation)
+ (instancetype)dictionaryWithObjects:(const ObjectType _Nonnull[_Nullable])objects
                              forKeys:(const KeyType<NSCopying> _Nonnull[_Nullable])keys
                                count:(NSUInteger)cnt;
@end

#pragma mark - NSError

typedef NSString *NSErrorDomain;

@interface NSError : NSObject <NSCopying>
@property(readonly, copy) NSErrorDomain domain;
@property(readonly) NSInteger code;
@property(readonly, copy) NSString *localizedDescription;
@end

#pragma mark - NSKeyValueCoding

@interface NSObject (NSKeyValueCoding)
- (void)setValue:(nullable id)value forKey:(NSString *)key;
@end

#pragma mark - NSNotification

typedef NSString *NSNotificationName NS_TYPED_EXTENSIBLE_ENUM;

@interface NSNotification : NSObject <NSCopying>
@property(readonly, copy) NSNotificationName name;
@property(nullable, readonly, retain) id object;
@property(nullable, readonly, copy) NSDictionary *userInfo;
@end

@interface NSOperationQueue : NSObject
@end

@interface NSNotificationCenter : NSObject
@property(class, readonly, strong) NSNotificationCenter *defaultCenter;
- (id<NSObject>)addObserverForName:(nullable NSNotificationName)name
                            object:(nullable id)obj
                             queue:(nullable NSOperationQueue *)queue
                        usingBlock:(void (^)(NSNotification *notification))block;
- (void)removeObserver:(id)observer;
@end

NS_ASSUME_NONNULL_END
